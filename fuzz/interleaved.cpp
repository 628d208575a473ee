// The interleaved stream parser fed in chunks the input chooses: byte 0 is
// the RTP channel, then each chunk is a length byte and that many bytes.
#include "rtsp/rtsp_stream_parser.h"

namespace {

class User : public telvora::IRTSPStreamParserUser {
 public:
  void PacketParsed(telvora::CRTPPacket& packet) override {
    const uint8_t* payload = packet.GetPayload();
    for (uint32_t i = 0; payload != nullptr && i < packet.GetPayloadLength(); ++i) sum += payload[i];
  }
  void ByeParsed() override { ++byes; }
  unsigned sum = 0;
  unsigned byes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  User user;
  telvora::CRTSPStreamParser parser(&user, data[0]);
  size_t pos = 1;
  while (pos < size) {
    size_t length = data[pos++];
    if (length > size - pos) length = size - pos;
    parser.Feed(data + pos, length);
    pos += length;
    if (parser.PendingBytes() > 65539 + 255) __builtin_trap();
  }
  return 0;
}
