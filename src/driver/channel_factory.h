// Where the driver gets its stream objects from.
#pragma once

#include <cstdint>

#include "host/driver_services.h"
#include "host/orvalen_host.h"

namespace telvora {

// A bare RTP stream when rtpOnly, otherwise an RTSP session stream, for
// video input `channel`. Owned by the caller; null when none can be made.
ICameraChannel* NewCameraChannel(bool rtpOnly, uint32_t channel, IDriver* driver, IHostFrameSink* sink);

}  // namespace telvora
