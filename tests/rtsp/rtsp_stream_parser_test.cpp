#include "rtsp/rtsp_stream_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace telvora {
namespace {

class Recorder : public IRTSPStreamParserUser {
 public:
  void PacketParsed(CRTPPacket& packet) override {
    sequences.push_back(packet.GetSequenceNumber());
    if (throwOnPacket) throw 1;
  }
  void ByeParsed() override { ++byes; }
  void MessageParsed(const std::string& message) override { messages.push_back(message); }
  std::vector<uint16_t> sequences;
  int byes = 0;
  std::vector<std::string> messages;
  bool throwOnPacket = false;
};

std::string Rtp(uint16_t sequence) {
  // Version 2, payload type 96, the sequence, timestamp 0, SSRC 1, a payload.
  std::string p = {'\x80', '\x60', static_cast<char>(sequence >> 8), static_cast<char>(sequence), 0, 0, 0, 0, 0, 0, 0, 1};
  return p + "data";
}

std::string Frame(uint8_t channel, const std::string& payload) {
  std::string f = {'$', static_cast<char>(channel), static_cast<char>(payload.size() >> 8),
                   static_cast<char>(payload.size() & 0xFF)};
  return f + payload;
}

void Feed(CRTSPStreamParser& parser, const std::string& bytes) {
  parser.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

const std::string kRr = {'\x81', '\xC9', 0, 1, 0, 0, 0, 1};   // receiver report, one word
const std::string kBye = {'\x81', '\xCB', 0, 1, 0, 0, 0, 1};  // BYE, one word

TEST(StreamParser, TextBeforeAFrameIsSkipped) {
  Recorder user;
  CRTSPStreamParser parser(&user, 0);
  Feed(parser, "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n" + Frame(0, Rtp(7)));
  EXPECT_EQ(user.sequences, std::vector<uint16_t>{7});
  EXPECT_EQ(parser.PendingBytes(), 0u);
}

// However the stream is cut into reads, the same packets, reports and
// messages come out, and what was cut waits for its rest.
TEST(StreamParser, AnyCutGivesTheSameResult) {
  const std::string stream = "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n" + Frame(0, Rtp(1)) + Frame(1, kBye) + Frame(5, Rtp(9)) +
                             "\x01noise" + Frame(0, "") + Frame(0, Rtp(2)) +
                             "SET_PARAMETER rtsp://cam RTSP/1.0\r\nContent-Length: 3\r\n\r\nabc" + Frame(0, Rtp(3));
  Recorder whole;
  CRTSPStreamParser reference(&whole, 0);
  Feed(reference, stream);
  ASSERT_EQ(whole.sequences, (std::vector<uint16_t>{1, 2, 3}));
  ASSERT_EQ(whole.byes, 1);
  ASSERT_EQ(whole.messages.size(), 2u);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    Recorder user;
    CRTSPStreamParser parser(&user, 0);
    Feed(parser, stream.substr(0, cut));
    ASSERT_LE(user.sequences.size(), 3u) << cut;
    EXPECT_TRUE(std::equal(user.sequences.begin(), user.sequences.end(), whole.sequences.begin())) << cut;
    Feed(parser, stream.substr(cut));
    EXPECT_EQ(user.sequences, whole.sequences) << cut;
    EXPECT_EQ(user.byes, 1) << cut;
    EXPECT_EQ(user.messages, whole.messages) << cut;
    EXPECT_EQ(parser.PendingBytes(), 0u) << cut;
  }
  Recorder bytewise;
  CRTSPStreamParser parser(&bytewise, 0);
  for (char c : stream) Feed(parser, std::string(1, c));
  EXPECT_EQ(bytewise.sequences, whole.sequences);
  EXPECT_EQ(bytewise.messages, whole.messages);
}

TEST(StreamParser, SplitFramesWaitForTheRest) {
  Recorder user;
  CRTSPStreamParser parser(&user, 0);
  // A header alone waits, even with length 0.
  Feed(parser, std::string("$\0\0\0", 4));
  EXPECT_EQ(parser.PendingBytes(), 4u);
  Feed(parser, Frame(0, Rtp(2)));
  EXPECT_EQ(user.sequences.back(), 2);
}

TEST(StreamParser, OtherChannelsAreSteppedOverNotSkipped) {
  Recorder user;
  CRTSPStreamParser parser(&user, 2);
  // Channels 0 and 1 are not ours; a '$' 0x02 inside such a frame is taken
  // for a header, as the search only steps over the '$'.
  const std::string inner = Frame(2, Rtp(12));
  Feed(parser, Frame(0, Rtp(10)) + Frame(1, kBye) + Frame(0, inner) + Frame(2, Rtp(11)) + Frame(3, kRr + kBye));
  EXPECT_EQ(user.sequences, (std::vector<uint16_t>{12, 11}));
  EXPECT_EQ(user.byes, 1);
}

TEST(StreamParser, RtcpWalk) {
  const struct {
    const char* name;
    std::string payload;
    int byes;
  } kCases[] = {
      {"report then bye", kRr + kBye, 1},
      {"bye alone", kBye, 1},
      {"bye longer than the frame", std::string{'\x81', '\xCB', 0, 5, 0, 0, 0, 1}, 0},
      {"version 1 stops the walk", std::string{'\x41', '\xC9', 0, 1, 0, 0, 0, 1} + kBye, 0},
      {"short tail ignored", kRr + "\x81\xCB", 0},
      {"two byes", kBye + kBye, 2},
  };
  for (const auto& c : kCases) {
    Recorder user;
    CRTSPStreamParser parser(&user, 0);
    Feed(parser, Frame(1, c.payload));
    EXPECT_EQ(user.byes, c.byes) << c.name;
  }
}

TEST(StreamParser, EdgeChannelsAndBadPayloads) {
  Recorder user;
  CRTSPStreamParser top(&user, 255);
  // 255 has no RTCP channel: a frame on channel 0 is not its RTCP.
  Feed(top, Frame(255, Rtp(5)) + Frame(0, kBye));
  EXPECT_EQ(user.sequences, std::vector<uint16_t>{5});
  EXPECT_EQ(user.byes, 0);

  Recorder other;
  CRTSPStreamParser parser(&other, 0);
  other.throwOnPacket = true;
  // An empty frame, a frame that is no RTP packet, a user that throws.
  Feed(parser, Frame(0, "") + Frame(0, "xy") + Frame(0, Rtp(1)) + Frame(0, Rtp(2)));
  EXPECT_EQ(other.sequences, (std::vector<uint16_t>{1, 2}));
  EXPECT_EQ(parser.PendingBytes(), 0u);
}

TEST(StreamParser, PendingStaysBounded) {
  Recorder user;
  CRTSPStreamParser parser(&user, 0);
  // A header announcing 65535 bytes holds at most that frame back.
  Feed(parser, std::string("$\0\xFF\xFF", 4));
  const std::string filler(4096, 'z');
  for (int i = 0; i < 15; ++i) Feed(parser, filler);
  EXPECT_EQ(parser.PendingBytes(), 4u + 15 * 4096);
  Feed(parser, std::string(65535 - 15 * 4096, 'z'));
  EXPECT_EQ(parser.PendingBytes(), 0u);
  // Text without any '$' is dropped at once.
  Feed(parser, std::string(10000, 'a'));
  EXPECT_EQ(parser.PendingBytes(), 0u);
}

}  // namespace
}  // namespace telvora
