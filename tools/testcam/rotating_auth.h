// Digest authentication whose nonces can all be made stale at once, as a
// camera does when it rotates its secret. GStreamer's own keeps a nonce for
// as long as the client's connection lives, so a rotation needs this.
#pragma once

#include <gst/rtsp-server/rtsp-server.h>

namespace testcam {

// A GstRTSPAuth that behaves as the stock one until Rotate: from then on a
// request with a nonce handed out before is answered 401 with a fresh nonce
// and stale=TRUE, even a keep-alive the stock one would not authenticate.
GstRTSPAuth* NewRotatingAuth();
// Returns how many nonces became stale.
unsigned RotateNonces(GstRTSPAuth* auth);

}  // namespace testcam
