// Cuts RTSP interleaved frames ('$', channel, 16-bit length, payload) out
// of the bytes of an RTSP connection and hands over those of one RTP/RTCP
// channel pair. Everything else, RTSP text included, is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtp/rtp_packet.h"

namespace telvora {

// Called on the thread that calls Feed, while Feed runs.
class IRTSPStreamParserUser {
 public:
  virtual ~IRTSPStreamParserUser() {}
  // A complete RTP packet of the RTP channel; valid only during the call.
  virtual void PacketParsed(CRTPPacket& packet) = 0;
  // An RTCP BYE was found in a frame of the RTCP channel.
  virtual void ByeParsed() = 0;
};

class CRTSPStreamParser {
 public:
  // user: not owned, may be null. The RTCP channel is rtpChannel + 1.
  CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t rtpChannel);
  virtual ~CRTSPStreamParser() {}

  // Appends a chunk and delivers every complete frame of the two channels.
  // Only the unconsumed tail is kept: at most one frame (64 KiB + 4).
  void Feed(const uint8_t* data, size_t length);
  void Feed(const std::vector<uint8_t>& chunk) { Feed(chunk.data(), chunk.size()); }

  size_t PendingBytes() const { return m_pending.size(); }

 private:
  void Deliver(unsigned channel, const uint8_t* payload, size_t length);

  uint8_t m_rtpChannel;
  IRTSPStreamParserUser* m_user;
  std::vector<uint8_t> m_pending;
};

}  // namespace telvora
