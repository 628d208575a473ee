// RTCP (RFC 3550) pieces that need no socket: walking a compound packet,
// building the receiver report and the goodbye, and tracking the highest
// sequence number of a stream. Pure functions, safe on any bytes.
#pragma once

#include <cstdint>

namespace telvora {

constexpr uint8_t kRtcpSenderReport = 200;
constexpr uint8_t kRtcpReceiverReport = 201;
constexpr uint8_t kRtcpSourceDescription = 202;
constexpr uint8_t kRtcpGoodbye = 203;

constexpr unsigned kRtcpReceiverReportSize = 32;
constexpr unsigned kRtcpGoodbyeSize = 8;

// One packet of a compound datagram. data points into the datagram and
// size covers the common header and everything its length field claims.
struct RTCP_PACKET_VIEW {
  const unsigned char* data;
  unsigned size;
  uint8_t type;
};

// Reads the packet at *offset and moves *offset past it. False when fewer
// than 4 bytes remain or when the packet claims more bytes than are left;
// the walk stops there.
bool NextRtcpPacket(const unsigned char* data, unsigned length, unsigned* offset, RTCP_PACKET_VIEW* packet);

// Fields of a sender report that the receiver report echoes. False when
// the packet is too short to hold them (14 bytes).
struct RTCP_SENDER_INFO {
  uint8_t versionBits;   // the two top bits of the first byte
  uint8_t senderSsrc[4];  // as received
  uint8_t lastSr[4];      // middle 32 bits of the NTP timestamp, as received
};
bool ReadSenderInfo(const RTCP_PACKET_VIEW& packet, RTCP_SENDER_INFO* info);

struct RTCP_REPORT_FIELDS {
  uint8_t versionBits;
  uint8_t ownSsrc[4];
  uint8_t reportedSsrc[4];
  uint32_t extendedHighestSequence;
  uint8_t lastSr[4];
  uint32_t delaySinceLastSr;  // 1/65536 s
};
// A 32-byte receiver report with one report block; loss and jitter are 0.
void BuildReceiverReport(const RTCP_REPORT_FIELDS& fields, unsigned char out[kRtcpReceiverReportSize]);
// An 8-byte goodbye for one source.
void BuildGoodbye(uint8_t versionBits, const uint8_t ownSsrc[4], unsigned char out[kRtcpGoodbyeSize]);

// Milliseconds to units of 1/65536 s, truncated to 32 bits.
uint32_t MillisecondsToRtcpDelay(uint32_t milliseconds);

// The highest sequence number with its wrap count (RFC 3550 A.1, without
// probation: a source is valid from its first packet).
class CRTPSequenceTracker {
 public:
  CRTPSequenceTracker() { Clear(); }
  void Clear();
  // The first packet after a Clear() starts the tracking.
  void Note(uint16_t sequence);
  uint32_t GetExtendedHighest() const { return m_cycles + m_maxSeq; }
  bool IsStarted() const { return m_started; }

 private:
  void Init(uint16_t sequence);

  bool m_started;
  uint16_t m_maxSeq;
  uint32_t m_cycles;
  uint32_t m_badSeq;
};

}  // namespace telvora
