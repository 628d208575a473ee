// The callbacks of an RTSP session to its owner. Every one runs on the
// session's own thread; exceptions they throw are caught there.
#pragma once

#include "rtp/rtp_packet.h"
#include "rtsp/sdp_parser.h"

namespace telvora {

class IRTSPClientUser {
 public:
  virtual ~IRTSPClientUser() {}
  // An RTCP BYE arrived in the interleaved stream; the session is already
  // on its way down.
  virtual void ByeReceived() = 0;
  // Once per session after DESCRIBE. info stays valid until the next Start.
  // False (or a throw) ends the session with TEARDOWN.
  virtual bool SdpInfoReceived(SDP_INFO& info) = 0;
  // One packet of the interleaved RTP channel, valid only during the call.
  virtual void RtpPacketReceived(CRTPPacket& packet) = 0;
  // The session thread is about to end.
  virtual void SessionEnded() = 0;
};

}  // namespace telvora
