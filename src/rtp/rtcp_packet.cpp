#include "rtp/rtcp_packet.h"

#include <cstring>

#include "base/byte_order.h"

namespace telvora {
namespace {

constexpr uint32_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;
constexpr uint32_t kSequenceModulo = 65536;

void Write16(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

void Write32(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value >> 24);
  p[1] = static_cast<unsigned char>(value >> 16);
  p[2] = static_cast<unsigned char>(value >> 8);
  p[3] = static_cast<unsigned char>(value);
}

}  // namespace

bool NextRtcpPacket(const unsigned char* data, unsigned length, unsigned* offset, RTCP_PACKET_VIEW* packet) {
  if (data == nullptr || offset == nullptr || packet == nullptr) return false;
  const unsigned at = *offset;
  if (at > length || length - at < 4) return false;
  const unsigned words = ReadBigEndian16(data + at + 2);
  const unsigned size = 4 + 4 * words;
  if (size > length - at) return false;
  packet->data = data + at;
  packet->size = size;
  packet->type = data[at + 1];
  *offset = at + size;
  return true;
}

bool ReadSenderInfo(const RTCP_PACKET_VIEW& packet, RTCP_SENDER_INFO* info) {
  if (info == nullptr || packet.data == nullptr || packet.size < 14) return false;
  info->versionBits = packet.data[0] & 0xC0;
  std::memcpy(info->senderSsrc, packet.data + 4, 4);
  std::memcpy(info->lastSr, packet.data + 10, 4);
  return true;
}

void BuildReceiverReport(const RTCP_REPORT_FIELDS& fields, unsigned char out[kRtcpReceiverReportSize]) {
  std::memset(out, 0, kRtcpReceiverReportSize);
  out[0] = static_cast<unsigned char>(fields.versionBits | 1);
  out[1] = kRtcpReceiverReport;
  Write16(out + 2, 7);
  std::memcpy(out + 4, fields.ownSsrc, 4);
  std::memcpy(out + 8, fields.reportedSsrc, 4);
  // Bytes 12-15: fraction lost and cumulative loss, both 0.
  Write32(out + 16, fields.extendedHighestSequence);
  // Bytes 20-23: jitter, 0.
  std::memcpy(out + 24, fields.lastSr, 4);
  Write32(out + 28, fields.delaySinceLastSr);
}

void BuildGoodbye(uint8_t versionBits, const uint8_t ownSsrc[4], unsigned char out[kRtcpGoodbyeSize]) {
  out[0] = static_cast<unsigned char>(versionBits | 1);
  out[1] = kRtcpGoodbye;
  Write16(out + 2, 1);
  std::memcpy(out + 4, ownSsrc, 4);
}

uint32_t MillisecondsToRtcpDelay(uint32_t milliseconds) {
  return static_cast<uint32_t>(static_cast<uint64_t>(milliseconds) * 65536u / 1000u);
}

void CRTPSequenceTracker::Clear() {
  m_started = false;
  m_maxSeq = 0;
  m_cycles = 0;
  m_badSeq = 0;
}

void CRTPSequenceTracker::Init(uint16_t sequence) {
  m_maxSeq = sequence;
  m_badSeq = kSequenceModulo + 1;
  m_cycles = 0;
}

void CRTPSequenceTracker::Note(uint16_t sequence) {
  if (!m_started) {
    Init(sequence);
    m_started = true;
  }
  const uint32_t delta = static_cast<uint16_t>(sequence - m_maxSeq);
  if (delta < kMaxDropout) {
    if (sequence < m_maxSeq) m_cycles += kSequenceModulo;
    m_maxSeq = sequence;
  } else if (delta <= kSequenceModulo - kMaxMisorder) {
    // A large jump: believe it only when the next packet follows it.
    if (sequence == m_badSeq)
      Init(sequence);
    else
      m_badSeq = (static_cast<uint32_t>(sequence) + 1) & (kSequenceModulo - 1);
  }
  // Otherwise a duplicate or a late packet: nothing changes.
}

}  // namespace telvora
