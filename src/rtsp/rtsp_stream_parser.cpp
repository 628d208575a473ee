#include "rtsp/rtsp_stream_parser.h"

#include <algorithm>

namespace telvora {
namespace {

constexpr uint8_t kFrameMarker = 0x24;  // '$'
constexpr uint8_t kRtcpBye = 203;

}  // namespace

CRTSPStreamParser::CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t rtpChannel)
    : m_rtpChannel(rtpChannel), m_user(user) {}

void CRTSPStreamParser::Feed(const uint8_t* data, size_t length) {
  if (data == nullptr || length == 0) return;
  try {
    m_pending.insert(m_pending.end(), data, data + length);
    const size_t size = m_pending.size();
    const uint8_t* bytes = m_pending.data();
    const unsigned rtp = m_rtpChannel;
    const unsigned rtcp = rtp + 1;  // 256 for channel 255: no RTCP channel
    size_t p = std::find(bytes, bytes + size, kFrameMarker) - bytes;
    while (p + 4 < size) {
      const unsigned channel = bytes[p + 1];
      if (channel == rtp || channel == rtcp) {
        const size_t frameLength = static_cast<size_t>(bytes[p + 2]) * 256 + bytes[p + 3];
        if (p + 4 + frameLength > size) break;
        Deliver(channel, bytes + p + 4, frameLength);
        p += 4 + frameLength;
      } else {
        ++p;
      }
      p = std::find(bytes + p, bytes + size, kFrameMarker) - bytes;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(std::min(p, size)));
  } catch (...) {
    m_pending.clear();
  }
}

void CRTSPStreamParser::Deliver(unsigned channel, const uint8_t* payload, size_t length) {
  if (length == 0 || m_user == nullptr) return;
  try {
    if (channel == m_rtpChannel) {
      CRTPPacket packet;
      if (packet.Parse(payload, static_cast<unsigned>(length))) m_user->PacketParsed(packet);
      return;
    }
    size_t offset = 0;
    while (offset + 4 <= length) {
      if ((payload[offset] & 0xC0) != 0x80) return;
      const uint8_t type = payload[offset + 1];
      const size_t words = static_cast<size_t>(payload[offset + 2]) * 256 + payload[offset + 3];
      offset += 4 * words + 4;
      if (offset <= length && type == kRtcpBye) m_user->ByeParsed();
    }
  } catch (...) {
    // A failing parse or user must not stop the stream.
  }
}

}  // namespace telvora
