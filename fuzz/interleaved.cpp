// The interleaved stream parser fed in chunks the input chooses: byte 0 is
// the RTP channel, then each chunk is a length byte and that many bytes.
// The same bytes fed in one piece must give the same result.
#include "rtsp/rtsp_stream_parser.h"

#include <string>
#include <vector>

namespace {

class User : public telvora::IRTSPStreamParserUser {
 public:
  void PacketParsed(telvora::CRTPPacket& packet) override {
    const uint8_t* payload = packet.GetPayload();
    for (uint32_t i = 0; payload != nullptr && i < packet.GetPayloadLength(); ++i) sum += payload[i];
    ++packets;
  }
  void ByeParsed() override { ++byes; }
  void MessageParsed(const std::string& message) override { messages += message.size(); }
  bool operator!=(const User& o) const { return sum != o.sum || packets != o.packets || byes != o.byes || messages != o.messages; }
  unsigned sum = 0;
  unsigned packets = 0;
  unsigned byes = 0;
  size_t messages = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  User user;
  telvora::CRTSPStreamParser parser(&user, data[0]);
  std::vector<uint8_t> all;
  size_t pos = 1;
  while (pos < size) {
    size_t length = data[pos++];
    if (length > size - pos) length = size - pos;
    parser.Feed(data + pos, length);
    all.insert(all.end(), data + pos, data + pos + length);
    pos += length;
    if (parser.PendingBytes() > 65539 + 255) __builtin_trap();
  }
  // How the bytes were cut into reads must not change what comes out.
  User whole;
  telvora::CRTSPStreamParser reference(&whole, data[0]);
  reference.Feed(all.data(), all.size());
  if (whole != user || reference.PendingBytes() != parser.PendingBytes()) __builtin_trap();
  return 0;
}
