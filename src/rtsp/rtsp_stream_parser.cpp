#include "rtsp/rtsp_stream_parser.h"

#include <algorithm>
#include <cstring>

#include "rtsp/rtsp_response_reader.h"

namespace telvora {
namespace {

constexpr uint8_t kFrameMarker = 0x24;  // '$'
constexpr uint8_t kRtcpFirstType = 200;  // SR
constexpr uint8_t kRtcpLastType = 204;   // APP
constexpr uint8_t kRtcpBye = 203;
constexpr size_t kMaxStartLine = 512;

bool IsTokenChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || c == '_'; }

const uint8_t* Find(const uint8_t* from, const uint8_t* end, const char* text, size_t length) {
  const uint8_t* hit = std::search(from, end, text, text + length);
  return hit;
}

}  // namespace

CRTSPStreamParser::CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t rtpChannel, int rtcpChannel)
    : m_rtpChannel(rtpChannel),
      m_rtcpChannel(rtcpChannel >= 0 ? static_cast<unsigned>(rtcpChannel) : rtpChannel + 1u),
      m_user(user) {}

long long CRTSPStreamParser::MessageAt(const uint8_t* bytes, size_t size, size_t p) const {
  const uint8_t* begin = bytes + p;
  const uint8_t* end = bytes + size;
  static const char kProtocol[] = "RTSP/";
  const size_t have = size - p;
  const bool status = std::memcmp(begin, kProtocol, std::min<size_t>(have, 5)) == 0;
  if (!status) {
    size_t i = 0;
    while (i < have && i < 32 && IsTokenChar(begin[i])) ++i;
    if (i == 0 || i == 32 || (i < have && begin[i] != ' ')) return -1;
  }
  const uint8_t* lineEnd = Find(begin, std::min(end, begin + kMaxStartLine), "\r\n", 2);
  if (lineEnd == std::min(end, begin + kMaxStartLine)) return have >= kMaxStartLine ? -1 : 0;
  // A request line ends in the protocol; a status line begins with it.
  const size_t lineLength = static_cast<size_t>(lineEnd - begin);
  if (!status && (lineLength < 9 || std::memcmp(lineEnd - 9, " RTSP/1.0", 9) != 0)) return -1;
  const uint8_t* limit = std::min(end, begin + kMaxMessageHeader);
  const uint8_t* blank = Find(begin, limit, "\r\n\r\n", 4);
  if (blank == limit) return have >= kMaxMessageHeader ? -1 : 0;
  const size_t headerLength = static_cast<size_t>(blank - begin) + 4;
  const unsigned long long body = FindContentLength(std::string(reinterpret_cast<const char*>(begin), headerLength - 2));
  if (body > kMaxMessageBody) return -1;
  const size_t total = headerLength + static_cast<size_t>(body);
  return have >= total ? static_cast<long long>(total) : 0;
}

void CRTSPStreamParser::Feed(const uint8_t* data, size_t length) {
  if (data == nullptr || length == 0) return;
  try {
    // The unit left over from the last chunk is completed first, with only
    // the bytes it still needs; the rest is read where it lies and only its
    // incomplete tail is kept. The result is the same as reading all bytes
    // in one piece.
    while (!m_pending.empty() && length != 0) {
      const size_t take = std::min(length, PendingNeeds());
      m_pending.insert(m_pending.end(), data, data + take);
      data += take;
      length -= take;
      const size_t used = Scan(m_pending.data(), m_pending.size());
      m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
    if (length != 0) {
      const size_t used = Scan(data, length);
      m_pending.assign(data + used, data + length);
    }
  } catch (...) {
    m_pending.clear();
  }
}

size_t CRTSPStreamParser::PendingNeeds() const {
  // A frame of ours with its header in hand needs exactly its rest (and one
  // byte past a bare header, as Scan waits for it); anything else may need
  // any number of bytes.
  const size_t all = static_cast<size_t>(-1);
  if (m_pending[0] != kFrameMarker) return all;
  if (m_pending.size() < 4) return 4 - m_pending.size();
  const unsigned channel = m_pending[1];
  if (channel != m_rtpChannel && channel != m_rtcpChannel) return all;
  const size_t frame = std::max<size_t>(4 + static_cast<size_t>(m_pending[2]) * 256 + m_pending[3], 5);
  return frame > m_pending.size() ? frame - m_pending.size() : all;
}

size_t CRTSPStreamParser::Scan(const uint8_t* bytes, size_t size) {
  size_t p = 0;
  while (p < size) {
    if (bytes[p] == kFrameMarker) {
      if (p + 4 >= size) break;  // the header is not complete yet
      const unsigned channel = bytes[p + 1];
      if (channel == m_rtpChannel || channel == m_rtcpChannel) {
        const size_t frameLength = static_cast<size_t>(bytes[p + 2]) * 256 + bytes[p + 3];
        if (p + 4 + frameLength > size) break;
        Deliver(channel, bytes + p + 4, frameLength);
        p += 4 + frameLength;
        continue;
      }
    } else if (IsTokenChar(bytes[p])) {
      const long long message = MessageAt(bytes, size, p);
      if (message == 0) break;
      if (message > 0) {
        if (m_user != nullptr) {
          const std::string text(reinterpret_cast<const char*>(bytes + p), static_cast<size_t>(message));
          try {
            m_user->MessageParsed(text);
          } catch (...) {
          }
        }
        p += static_cast<size_t>(message);
        continue;
      }
    }
    // Neither a frame of ours nor a message: resume at the next byte
    // that may begin one.
    ++p;
    while (p < size && bytes[p] != kFrameMarker && !IsTokenChar(bytes[p])) ++p;
  }
  return std::min(p, size);
}

void CRTSPStreamParser::Deliver(unsigned channel, const uint8_t* payload, size_t length) {
  if (length == 0 || m_user == nullptr) return;
  try {
    // Some servers send their reports on the RTP channel; RTP payload types
    // 72 to 76 cannot occur, so such a header is RTCP (RFC 5761).
    const bool rtcpHeader = length >= 8 && (payload[0] & 0xC0) == 0x80 && payload[1] >= kRtcpFirstType &&
                            payload[1] <= kRtcpLastType;
    if (channel == m_rtpChannel && !rtcpHeader) {
      if (m_packet.Parse(payload, static_cast<unsigned>(length))) m_user->PacketParsed(m_packet);
      return;
    }
    DeliverRtcp(payload, length);
  } catch (...) {
    // A failing parse or user must not stop the stream.
  }
}

void CRTSPStreamParser::DeliverRtcp(const uint8_t* payload, size_t length) {
  size_t offset = 0;
  while (offset + 4 <= length) {
    if ((payload[offset] & 0xC0) != 0x80) return;
    const uint8_t type = payload[offset + 1];
    const size_t words = static_cast<size_t>(payload[offset + 2]) * 256 + payload[offset + 3];
    offset += 4 * words + 4;
    if (offset <= length && type == kRtcpBye) m_user->ByeParsed();
  }
}

}  // namespace telvora
