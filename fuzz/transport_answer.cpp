// The Transport header of a SETUP answer. Byte 0 chooses which parameters
// a Transport written here carries (bit 0 interleaved, 1 its second
// channel, 2 server_port, 3 its second port, 4 ssrc, 5 upper-case names,
// 6 blanks around '=' and '-', 7 a second transport after a comma); the
// next bytes give their values. The answer must read back as written. The
// bytes after those are then a Transport value of their own, read for
// crashes only.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "rtsp/rtsp_method.h"
#include "rtsp/rtsp_response_parser.h"

namespace {

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint32_t Take(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | (m_pos < m_size ? m_data[m_pos++] : 0);
    return value;
  }
  std::string Rest() const { return std::string(reinterpret_cast<const char*>(m_data + m_pos), m_size - m_pos); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

std::string Answer(const std::string& transport) {
  return "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 12345678;timeout=60\r\nTransport: " + transport + "\r\n\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  const uint32_t flags = in.Take(1);
  const uint8_t channel1 = static_cast<uint8_t>(in.Take(1));
  const uint8_t channel2 = static_cast<uint8_t>(in.Take(1));
  const uint16_t port1 = static_cast<uint16_t>(in.Take(2));
  const uint16_t port2 = static_cast<uint16_t>(in.Take(2));
  const uint32_t ssrc = in.Take(4);
  const int ssrcDigits = 1 + static_cast<int>(in.Take(1) % 8);

  const bool upper = flags & 0x20;
  const std::string eq = (flags & 0x40) ? " = " : "=";
  const std::string dash = (flags & 0x40) ? " - " : "-";
  auto name = [upper](const char* text) {
    std::string out = text;
    if (upper)
      for (char& c : out) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return out;
  };
  std::string transport = "RTP/AVP/TCP;unicast;mode=\"PLAY\"";
  if (flags & 0x01) {
    transport += ";" + name("interleaved") + eq + std::to_string(channel1);
    if (flags & 0x02) transport += dash + std::to_string(channel2);
  }
  if (flags & 0x04) {
    transport += ";" + name("server_port") + eq + std::to_string(port1);
    if (flags & 0x08) transport += dash + std::to_string(port2);
  }
  const uint32_t ssrcValue = ssrcDigits == 8 ? ssrc : ssrc & ((1u << (4 * ssrcDigits)) - 1);
  if (flags & 0x10) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), upper ? "%0*X" : "%0*x", ssrcDigits, ssrcValue);
    transport += ";" + name("ssrc") + eq + hex;
  }
  if (flags & 0x80) transport += ",RTP/AVP;unicast;interleaved=7-9;server_port=1-2;ssrc=77";

  telvora::CRTSPResponseParser parser;
  if (!parser.Parse(telvora::kRtspSetup, Answer(transport))) __builtin_trap();
  const bool interleaved = flags & 0x01;
  const bool serverPort = flags & 0x04;
  const uint8_t rtp = interleaved ? channel1 : 0;
  const uint8_t rtcp = interleaved && (flags & 0x02) ? channel2 : static_cast<uint8_t>(rtp + 1);
  const uint16_t rtpPort = serverPort ? port1 : 0;
  const uint16_t rtcpPort =
      serverPort && (flags & 0x08) ? port2 : static_cast<uint16_t>(rtpPort != 0 ? rtpPort + 1 : 0);
  if (parser.rtpChannel != rtp || parser.rtcpChannel != rtcp) __builtin_trap();
  if (parser.serverRtpPort != rtpPort || parser.serverRtcpPort != rtcpPort) __builtin_trap();
  if (parser.hasSsrc != bool(flags & 0x10) || (parser.hasSsrc && parser.ssrc != ssrcValue)) __builtin_trap();
  if (parser.sessionId != "12345678" || parser.sessionTimeout != 60) __builtin_trap();

  // The same parser, as in a session, on whatever the rest holds.
  parser.Parse(telvora::kRtspSetup, Answer(in.Rest()));
  return 0;
}
