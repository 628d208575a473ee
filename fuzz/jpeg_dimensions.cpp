// A JPEG stream whose picture size comes from its description: the text
// up to the first NUL ends the video section of a description (where
// a=x-dimensions and a=framesize lines go), the bytes after it are packets
// as depacketizer_host.h cuts them. Every frame handed over must state the
// size its SOF segment holds. With bit 0 of the first packet byte set, the
// packets are made plain RFC 2435 ones (no header extension, no JFIF image
// inside, a whole main header) with every size field 0, so each frame must
// be as large as the description says, 2048 where it says nothing.
#include <algorithm>
#include <string>
#include <vector>

#include "depacketizer_host.h"
#include "media/jpeg_rtp_media_parser.h"
#include "rtsp/sdp_parser.h"

namespace {

class SizedFrame : public fuzzhost::Frame {
 public:
  explicit SizedFrame(uint32_t size) : Frame(size) {}
  void SetWidth(uint32_t width) override { m_width = width; }
  void SetHeight(uint32_t height) override { m_height = height; }
  uint32_t m_width = 0;
  uint32_t m_height = 0;
};

using Driver = fuzzhost::DriverOf<SizedFrame>;

class Client : public fuzzhost::Client {
 public:
  bool DeliverFrame(telvora::IVideoFrame* frame) override {
    const SizedFrame* f = static_cast<const SizedFrame*>(frame);
    const uint8_t* b = f->m_data.data();
    size_t n = std::min<size_t>(f->m_size, f->m_data.size());
    // The end-of-image marker the depacketizer may have appended is not part
    // of a SOF segment cut short before it.
    if (n >= 2 && b[n - 2] == 0xFF && b[n - 1] == 0xD9) n -= 2;
    // The SOF segment, walking the segments from SOI to SOS.
    for (size_t i = 2; n >= 2 && b[0] == 0xFF && b[1] == 0xD8 && i + 4 <= n && b[i] == 0xFF;) {
      const uint8_t marker = b[i + 1];
      if (marker == 0xFF || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
        i += marker == 0xFF ? 1 : 2;  // a fill byte, or a marker without a length
        continue;
      }
      if (marker == 0xDA) break;
      if ((marker == 0xC0 || marker == 0xC1) && i + 9 <= n) {
        const uint32_t height = uint32_t(b[i + 5]) << 8 | b[i + 6];
        const uint32_t width = uint32_t(b[i + 7]) << 8 | b[i + 8];
        if (width != f->m_width || height != f->m_height) __builtin_trap();
        break;
      }
      i += 2 + (size_t(b[i + 2]) << 8 | b[i + 3]);
    }
    if (expectWidth != 0 && (f->m_width != expectWidth || f->m_height != expectHeight)) __builtin_trap();
    return fuzzhost::Client::DeliverFrame(frame);
  }
  uint32_t expectWidth = 0;  // 0: any size
  uint32_t expectHeight = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  if (nul == std::string::npos) return 0;
  telvora::CSDPResponseParser sdp;
  if (!sdp.ParseSdp("v=0\r\nm=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\n" + input.substr(0, nul))) return 0;
  const telvora::SDP_INFO& info = sdp.GetInfo();

  telvora::MEDIA_STREAM_PARAMETERS parameters;
  parameters.width = info.video.width;
  parameters.height = info.video.height;
  std::vector<uint8_t> packets(data + nul + 1, data + size);
  Client client;
  if (!packets.empty() && (packets[0] & 1)) {
    // Plain RFC 2435 packets of type 0 to 63 and Q 0 to 127, none too short
    // for its main header, with no JFIF image behind it.
    std::vector<uint8_t> plain;
    for (size_t pos = 0; pos + 3 <= packets.size();) {
      const size_t length = std::min<size_t>(size_t(packets[pos + 1]) << 8 | packets[pos + 2], packets.size() - pos - 3);
      std::vector<uint8_t> payload(packets.begin() + pos + 3, packets.begin() + pos + 3 + length);
      payload.resize(std::max<size_t>(length, 9));
      payload[4] &= 0x3F;
      payload[5] &= 0x7F;
      payload[6] = payload[7] = 0;
      if (payload[8] == 0xFF) payload[8] = 0;
      plain.push_back(packets[pos] & static_cast<uint8_t>(~4));
      plain.push_back(static_cast<uint8_t>(payload.size() >> 8));
      plain.push_back(static_cast<uint8_t>(payload.size()));
      plain.insert(plain.end(), payload.begin(), payload.end());
      pos += 3 + length;
    }
    packets.swap(plain);
    client.expectWidth = parameters.width != 0 ? std::min<uint32_t>(parameters.width, 0xFFFF) : 2048;
    client.expectHeight = parameters.height != 0 ? std::min<uint32_t>(parameters.height, 0xFFFF) : 2048;
  }

  Driver driver;
  telvora::CJpegRTPMediaParser parser(&driver);
  parser.SetClient(&client);
  parser.SetStreamParameters(parameters);
  fuzzhost::FeedPackets(&parser, packets.data(), packets.size());
  return 0;
}
