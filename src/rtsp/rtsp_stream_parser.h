// Cuts RTSP interleaved frames ('$', channel, 16-bit length, payload) out
// of the bytes of an RTSP connection and hands over those of one RTP/RTCP
// channel pair, and the RTSP messages (answers, requests from the server)
// found between them. Any other byte is skipped until something that can
// begin a frame of the pair or a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
  // A whole RTSP message (header block and body) between the frames.
  virtual void MessageParsed(const std::string& message) { (void)message; }
};

class CRTSPStreamParser {
 public:
  static constexpr size_t kMaxMessageHeader = 8192;
  static constexpr size_t kMaxMessageBody = 65536;

  // user: not owned, may be null. The RTCP channel is rtpChannel + 1
  // unless the server named another one (rtcpChannel >= 0).
  CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t rtpChannel, int rtcpChannel = -1);
  virtual ~CRTSPStreamParser() {}

  // Delivers every complete frame of the two channels in what came so far.
  // Only the unconsumed tail is kept: at most one frame (64 KiB + 4) or
  // one message.
  void Feed(const uint8_t* data, size_t length);
  void Feed(const std::vector<uint8_t>& chunk) { Feed(chunk.data(), chunk.size()); }

  size_t PendingBytes() const { return m_pending.size(); }

 private:
  // Delivers every complete unit from the start; returns the bytes used.
  size_t Scan(const uint8_t* bytes, size_t size);
  // How many more bytes the pending unit needs at most before Scan can use
  // it up; SIZE_MAX when that is not known.
  size_t PendingNeeds() const;
  void Deliver(unsigned channel, const uint8_t* payload, size_t length);
  void DeliverRtcp(const uint8_t* payload, size_t length);
  // At p: the length of a whole message, 0 while it may still grow into
  // one, or -1 when no message starts there.
  long long MessageAt(const uint8_t* bytes, size_t size, size_t p) const;

  uint8_t m_rtpChannel;
  unsigned m_rtcpChannel;
  IRTSPStreamParserUser* m_user;
  std::vector<uint8_t> m_pending;
  // Reused for every RTP packet: its payload storage is kept.
  CRTPPacket m_packet;
};

}  // namespace telvora
