// What the session client reads from its connection: answers, requests
// from the server, interleaved frames and stray bytes mixed, cut into
// chunks the input chooses. Both readers get the same bytes: the answer
// reader used while a request waits, and the stream parser used while
// interleaved data flows.
//
// Byte 0 bit 7 clear: the rest is a script of items (a kind byte, a number
// byte, a length byte, then as many bytes of content), written here as a
// stream. Every answer and request must come out whole and in order, with
// the CSeq it was written with and told apart by its first line; every RTP
// packet on the stream parser's channel must come out intact; nothing may
// stay pending at the end. Bit 7 set: the rest is the stream itself, read
// for crashes and bounded buffers only. The low bits of byte 0 pick the
// chunk sizes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_response_reader.h"
#include "rtsp/rtsp_stream_parser.h"

namespace {

using telvora::CRTSPResponseReader;

struct Message {
  std::string text;
  bool request;
  bool hasCSeq;
  uint32_t cseq;
};

struct Script {
  std::string stream;
  std::vector<Message> messages;
  std::vector<std::string> payloads;  // of the RTP packets on channel 0
  unsigned byes = 0;
};

class User : public telvora::IRTSPStreamParserUser {
 public:
  void PacketParsed(telvora::CRTPPacket& packet) override {
    const uint8_t* payload = packet.GetPayload();
    payloads.emplace_back(payload == nullptr ? "" : std::string(reinterpret_cast<const char*>(payload),
                                                                packet.GetPayloadLength()));
  }
  void ByeParsed() override { ++byes; }
  void MessageParsed(const std::string& message) override { messages.push_back(message); }
  std::vector<std::string> payloads;
  std::vector<std::string> messages;
  unsigned byes = 0;
};

std::string CSeqLine(uint8_t style, uint32_t cseq) {
  static const char* const kForms[] = {"CSeq: ", "cseq:", "CSEQ :  ", "Cseq:\t"};
  return kForms[style & 3] + std::to_string(cseq) + "\r\n";
}

std::string Body(const std::string& content) {
  if (content.empty()) return "\r\n";
  return "Content-Length: " + std::to_string(content.size()) + "\r\n\r\n" + content;
}

Script Build(const uint8_t* data, size_t size) {
  static const char* const kMethods[] = {"OPTIONS", "GET_PARAMETER", "SET_PARAMETER", "ANNOUNCE"};
  Script script;
  uint16_t sequence = 0;
  size_t pos = 0;
  while (pos + 3 <= size) {
    const uint8_t kind = data[pos];
    const uint8_t number = data[pos + 1];
    size_t length = data[pos + 2];
    pos += 3;
    if (length > size - pos) length = size - pos;
    const std::string content(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
    const uint32_t cseq = number * 1000003u + kind;
    switch (kind % 6) {
      case 0: {  // an answer with a CSeq
        const std::string text = "RTSP/1.0 " + std::to_string(100 + number * 3) + " OK\r\n" +
                                 CSeqLine(kind >> 3, cseq) + "Server: x\r\n" + Body(content);
        script.messages.push_back({text, false, true, cseq});
        break;
      }
      case 1: {  // an answer without one
        const std::string text = "RTSP/1.0 200 OK\r\nSession: " + std::to_string(number) + "\r\n" + Body(content);
        script.messages.push_back({text, false, false, 0});
        break;
      }
      case 2: {  // a request from the server
        const std::string text = std::string(kMethods[number & 3]) + " rtsp://192.0.2.7/live RTSP/1.0\r\n" +
                                 CSeqLine(number >> 2, cseq) + Body(content);
        script.messages.push_back({text, true, true, cseq});
        break;
      }
      case 3: {  // an RTP packet on channel 0
        const uint8_t header[12] = {0x80, 96, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
                                    0, 0, 0, number, 1, 2, 3, 4};
        ++sequence;
        const size_t frame = sizeof(header) + content.size();
        script.stream += '$';
        script.stream += '\0';
        script.stream += static_cast<char>(frame >> 8);
        script.stream += static_cast<char>(frame & 0xFF);
        script.stream.append(reinterpret_cast<const char*>(header), sizeof(header));
        script.stream += content;
        // A packet without payload does not parse.
        if (!content.empty()) script.payloads.push_back(content);
        continue;
      }
      case 4:  // an RTCP BYE on channel 1
        script.stream += std::string("$\1\0\x08\x81\xCB\0\x01", 8) + std::string(4, static_cast<char>(number));
        ++script.byes;
        continue;
      default: {  // bytes that can begin nothing
        for (const char c : content) {
          if (c != '$' && !(c >= 'A' && c <= 'Z') && c != '_') script.stream += c;
        }
        continue;
      }
    }
    script.stream += script.messages.back().text;
  }
  return script;
}

template <typename Sink>
void Chunked(const std::string& stream, uint8_t pattern, Sink sink) {
  const size_t sizes[4] = {1, 7, 1460, 65536};
  size_t pos = 0;
  for (unsigned i = 0; pos < stream.size(); ++i) {
    const size_t length = std::min(sizes[(pattern >> (2 * (i % 3))) & 3], stream.size() - pos);
    sink(reinterpret_cast<const uint8_t*>(stream.data() + pos), length);
    pos += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool raw = data[0] & 0x80;
  Script script;
  if (raw) {
    script.stream.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else {
    script = Build(data + 1, size - 1);
  }

  CRTSPResponseReader reader;
  std::vector<std::string> answers;
  Chunked(script.stream, data[0], [&](const uint8_t* chunk, size_t length) {
    CRTSPResponseReader::State state = reader.Append(chunk, length);
    while (state == CRTSPResponseReader::kComplete) {
      answers.push_back(reader.TakeResponse());
      state = reader.Append(nullptr, 0);
    }
    if (!raw && state != CRTSPResponseReader::kNeedMore) __builtin_trap();
  });
  User user;
  telvora::CRTSPStreamParser parser(&user, 0);
  Chunked(script.stream, data[0], [&](const uint8_t* chunk, size_t length) {
    parser.Feed(chunk, length);
    if (parser.PendingBytes() > 65536 + 4 + 65536) __builtin_trap();
  });

  for (const std::string& message : answers) {
    uint32_t cseq = 0;
    telvora::ResponseCSeq(message, &cseq);
    telvora::IsServerRequest(message);
  }
  if (raw) return 0;

  if (answers.size() != script.messages.size() || user.messages.size() != script.messages.size()) __builtin_trap();
  for (size_t i = 0; i < answers.size(); ++i) {
    const Message& expected = script.messages[i];
    if (answers[i] != expected.text || user.messages[i] != expected.text) __builtin_trap();
    uint32_t cseq = 0;
    if (telvora::ResponseCSeq(expected.text, &cseq) != expected.hasCSeq) __builtin_trap();
    if (expected.hasCSeq && cseq != expected.cseq) __builtin_trap();
    if (telvora::IsServerRequest(expected.text) != expected.request) __builtin_trap();
  }
  if (reader.TakeBuffered().find_first_not_of("\r\n") != std::string::npos) __builtin_trap();
  if (user.payloads != script.payloads || user.byes != script.byes) __builtin_trap();
  if (parser.PendingBytes() != 0) __builtin_trap();
  return 0;
}
