// Behaviour every depacketizer shares: sequence continuity, the frame
// buffer limit, resolution classes and the host frame life cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "media/frame_assembly.h"
#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/media_format.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "media_test_kit.h"

namespace telvora {
namespace test {
namespace {

TEST(ResolutionClass, Table) {
  struct Case {
    uint32_t width, height, expected;
  } const kCases[] = {
      {0, 0, 1},       {176, 144, 1},   {199, 1000, 1}, {200, 10, 2},     {352, 288, 2},   {399, 100, 2},
      {400, 199, 3},   {704, 288, 3},   {704, 576, 4},  {1023, 511, 3},   {1023, 600, 4},  {1024, 100, 4},
      {1920, 1080, 4}, {800, 0xFFFFFFFFu, 4},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(GetResolutionClass(c.width, c.height), c.expected) << c.width << "x" << c.height;
}

TEST(FormatCode, FirstCharacterInLowestByte) {
  EXPECT_EQ(kFormatH264, 0x34363248u);
  EXPECT_EQ(kFormatI264, FourCC("I264"));
  EXPECT_EQ(kFormatJpeg, FourCC("JPEG"));
  EXPECT_EQ(kFormatDivx, FourCC("DIVX"));
  EXPECT_EQ(kFormatDivi, FourCC("DIVI"));
}

// Own and referred pieces read, cut and gather as one run of bytes, and a
// packet whose bytes are referred gives up its storage, not its header.
TEST(FrameAssembly, PiecesReadCutAndGatherAsOneRun) {
  std::vector<uint8_t> datagram{0x80, 0xE0, 0x12, 0x34, 0, 0, 0, 9, 1, 2, 3, 4};
  for (int i = 0; i < 1400; ++i) datagram.push_back(static_cast<uint8_t>(i % 200));
  struct Case {
    const char* name;
    size_t consumed;  // cut from the front, then replaced by "HDR"
  } const kCases[] = {{"none", 0}, {"inside the own piece", 2}, {"across into the payload", 10}, {"all", 5000}};
  for (const Case& c : kCases) {
    CFrameAssembly frame(1 << 20);
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(datagram.data(), static_cast<unsigned>(datagram.size())));
    std::vector<uint8_t> expected{0xAA, 0xFF, 0xD9, 0xBB};
    frame.Append(expected.data(), 4);
    frame.Refer(packet.GetPayload() + 100, 1000);
    frame.AppendStartCode();
    expected.insert(expected.end(), datagram.begin() + 112, datagram.begin() + 1112);
    expected.insert(expected.end(), {0, 0, 1});
    frame.Keep(packet);
    EXPECT_EQ(packet.GetPayloadLength(), 0u) << c.name;
    EXPECT_TRUE(packet.GetMarker() && packet.GetSequenceNumber() == 0x1234) << c.name;
    // The packet is reused at once; the frame's bytes must not change.
    ASSERT_TRUE(packet.Parse(datagram.data(), 100));
    const size_t lastFF = static_cast<size_t>(std::find(expected.rbegin(), expected.rend(), 0xFF).base() - expected.begin()) - 1;
    EXPECT_EQ(frame.FindLast(0xFF), lastFF) << c.name;
    EXPECT_EQ(frame.FindLast(0xEE), frame.size()) << c.name;
    EXPECT_EQ(frame.ByteAt(1003), expected[1003]) << c.name;
    expected.erase(expected.begin(), expected.begin() + std::min(c.consumed, expected.size()));
    expected.insert(expected.begin(), {'H', 'D', 'R'});
    frame.ReplaceFront(c.consumed, reinterpret_cast<const uint8_t*>("HDR"), 3);
    ASSERT_EQ(frame.size(), expected.size()) << c.name;
    const size_t head = std::min<size_t>(expected.size(), 20);
    EXPECT_EQ(std::vector<uint8_t>(frame.Front(head), frame.Front(head) + head),
              std::vector<uint8_t>(expected.begin(), expected.begin() + head))
        << c.name;
    std::vector<uint8_t> gathered(frame.size());
    frame.CopyTo(gathered.data());
    EXPECT_EQ(gathered, expected) << c.name;
    frame.clear();
    EXPECT_TRUE(frame.empty()) << c.name;
  }
  // A piece that fills less than half of a large storage is copied, and the
  // storage stays with its packet.
  std::vector<uint8_t> jumbo(datagram.begin(), datagram.begin() + 12);
  jumbo.resize(12 + 4000, 0x77);
  CFrameAssembly frame(1 << 20);
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(jumbo.data(), static_cast<unsigned>(jumbo.size())));
  frame.SetPacketStorage(packet.GetPayloadCapacity());
  frame.Refer(packet.GetPayload(), 1000);
  frame.Keep(packet);
  EXPECT_EQ(packet.GetPayloadLength(), 4000u);
  EXPECT_EQ(frame.FindLast(0x77), 999u);
}

// A non-IDR slice as a single NAL unit packet; enough to watch the
// sequence test through the H.264 depacketizer, which starts over on a gap.
const std::vector<uint8_t> kSlice = {0x41, 0x4A, 0x10, 0x20};  // not the first slice of its picture

TEST(SequenceContinuity, GapsResetTheFrame) {
  struct Case {
    const char* name;
    std::vector<uint16_t> sequences;
    bool continuous;
  } const kCases[] = {
      {"consecutive", {5, 6}, true},   {"wrap 65535 to 0", {65535, 0}, true}, {"one missing", {5, 7}, false},
      {"repeated", {5, 5}, false},     {"backwards", {6, 5}, false},
      // The first packet is never a gap, whatever its number.
      {"first 0", {0}, true},          {"first 1", {1}, true},                {"first 40000", {40000}, true},
      {"first 65535", {65535}, true},
  };
  for (const Case& c : kCases) {
    ParserRig rig;
    CH264RTPMediaParser parser(&rig.driver);
    rig.Attach(&parser);
    for (uint16_t sequence : c.sequences) FeedPayload(&parser, sequence, false, kSlice);
    // Each slice adds a start code and 4 bytes; a gap drops what came before.
    EXPECT_EQ(parser.GetFrameBufferSize(), c.continuous ? 7u * c.sequences.size() : 7u) << c.name;
  }
}

// Fills a depacketizer's buffer with packets to exactly `target` bytes and
// returns the next sequence number. Each codec adds its own framing bytes.
struct LimitCase {
  const char* name;
  std::function<CRTPMediaParser*(IDriver*)> make;
  std::function<uint16_t(CRTPMediaParser*, size_t target)> fill;
};

uint16_t FillH264(CRTPMediaParser* parser, size_t target) {
  // FU-A start: start code + rebuilt header, then the fragment bytes.
  uint16_t seq = 1;
  size_t have = 0;
  while (have < target) {
    const bool first = have == 0;
    const size_t overhead = first ? 4 : 0;
    const size_t chunk = std::min<size_t>(60000, target - have - overhead);
    std::vector<uint8_t> fu{0x7C, static_cast<uint8_t>(first ? 0x81 : 0x01)};
    fu.resize(2 + chunk, 0x55);
    FeedPayload(parser, seq++, false, fu);
    have += overhead + chunk;
  }
  return seq;
}

uint16_t FillH264StapA(CRTPMediaParser* parser, size_t target) {
  // Two slices a packet, each one start code and its bytes in the frame;
  // the last packet is split to end on the target.
  uint16_t seq = 1;
  size_t have = 0;
  while (have < target) {
    const size_t rest = std::min<size_t>(60000, target - have);
    std::vector<uint8_t> packet{0x18};
    for (size_t unit : {rest / 2 - 3, rest - rest / 2 - 3}) {
      packet.push_back(static_cast<uint8_t>(unit >> 8));
      packet.push_back(static_cast<uint8_t>(unit));
      packet.push_back(0x41);  // a later slice of its picture
      packet.resize(packet.size() + unit - 1, 0x55);
    }
    FeedPayload(parser, seq++, false, packet);
    have += rest;
  }
  return seq;
}

uint16_t FillMpeg4(CRTPMediaParser* parser, size_t target) {
  uint16_t seq = 1;
  size_t have = 0;
  while (have < target) {
    const size_t chunk = std::min<size_t>(60000, target - have);
    std::vector<uint8_t> p(chunk, 0x55);
    if (have == 0) {
      const uint8_t vop[] = {0, 0, 1, 0xB6, 0x10};
      std::copy(vop, vop + 5, p.begin());
    }
    FeedPayload(parser, seq++, false, p);
    have += chunk;
  }
  return seq;
}

uint16_t FillJpeg(CRTPMediaParser* parser, size_t target) {
  // The first packet keeps its 8 header bytes; later ones lose them.
  uint16_t seq = 1;
  size_t have = 0;
  uint32_t offset = 0;
  while (have < target) {
    const bool first = have == 0;
    const size_t chunk = std::min<size_t>(60000, target - have - (first ? 8 : 0));
    std::vector<uint8_t> p{0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), 1, 50, 40, 30};
    p.resize(8 + chunk, 0x55);
    FeedPayload(parser, seq++, false, p);
    have += chunk + (first ? 8 : 0);
    offset += static_cast<uint32_t>(chunk);
  }
  return seq;
}

TEST(FrameBufferLimit, ExactlyTenMebibytesIsKeptOneMoreByteIsNot) {
  const LimitCase kCases[] = {
      {"H.264", [](IDriver* d) -> CRTPMediaParser* { return new CH264RTPMediaParser(d); }, FillH264},
      {"H.264 STAP-A", [](IDriver* d) -> CRTPMediaParser* { return new CH264RTPMediaParser(d); }, FillH264StapA},
      {"MPEG-4", [](IDriver* d) -> CRTPMediaParser* { return new CMpeg4RTPMediaParser(d, nullptr); }, FillMpeg4},
      {"JPEG", [](IDriver* d) -> CRTPMediaParser* { return new CJpegRTPMediaParser(d); }, FillJpeg},
  };
  for (const LimitCase& c : kCases) {
    for (size_t extra : {size_t(0), size_t(1)}) {
      ParserRig rig;
      std::unique_ptr<CRTPMediaParser> parser(c.make(&rig.driver));
      rig.Attach(parser.get());
      c.fill(parser.get(), CRTPMediaParser::kMaxFrameBufferSize + extra);
      const char* message = "telvora::CRTPMediaParser::CheckBufferSize: Frame buffer overflow detected, device 127.0.0.1:554";
      // The limit is checked before the buffer grows, not after doubling.
      EXPECT_LE(parser->GetFrameBufferCapacity(), CRTPMediaParser::kMaxFrameBufferSize + 2048) << c.name;
      if (extra == 0) {
        EXPECT_EQ(parser->GetFrameBufferSize(), 10485760u) << c.name;
        EXPECT_FALSE(rig.driver.Logs().Contains("overflow")) << c.name;
      } else {
        EXPECT_EQ(parser->GetFrameBufferSize(), 0u) << c.name;
        EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, message), 1u) << c.name;
      }
    }
  }
}

// An outsized frame does not pin its memory once normal frames follow.
TEST(FrameBufferLimit, BufferShrinksBackAfterAnOutsizedFrame) {
  ParserRig rig;
  CH264RTPMediaParser parser(&rig.driver);
  rig.Attach(&parser);
  uint16_t seq = FillH264(&parser, 8 * 1024 * 1024);
  EXPECT_GE(parser.GetFrameBufferCapacity(), 8u * 1024 * 1024);
  for (uint32_t timestamp : {5000u, 6000u}) {  // two small frames at new timestamps
    FeedPayload(&parser, seq++, false, MakeSps(SpsFields()), timestamp);
    FeedPayload(&parser, seq++, false, {0x68, 0xCE, 0x38, 0x80}, timestamp);
    FeedPayload(&parser, seq++, true, {0x65, 0x88, 0x84, 0x21}, timestamp);
  }
  EXPECT_LT(parser.GetFrameBufferCapacity(), 1024u * 1024);
  EXPECT_EQ(rig.collector.frames.size(), 2u);
}

// A whole H.264 key frame: SPS, PPS and an IDR slice in single NAL packets.
std::vector<std::vector<uint8_t>> KeyFrame() {
  return {MakeSps(SpsFields()), {0x68, 0xCE, 0x38, 0x80}, {0x65, 0x88, 0x84, 0x21}};
}

int32_t ORVALEN_STDCALL SizedHeader(const uint8_t*, uint32_t, int32_t* width, int32_t* height) {
  *width = 352;
  *height = 288;
  return 1;
}

// A key frame the host could not take is lost, and with it every frame
// that refers to it, up to the next key frame.
TEST(FrameHandOff, AfterALostKeyFrameNothingDependentGoesOutUntilTheNextOne) {
  using Packets = std::vector<std::vector<uint8_t>>;
  struct Case {
    const char* name;
    std::function<CRTPMediaParser*(IDriver*)> make;
    Packets key, delta;
    uint32_t keyCode, deltaCode;
    const char* function;
  } const kCases[] = {
      {"H.264", [](IDriver* d) -> CRTPMediaParser* { return new CH264RTPMediaParser(d); }, KeyFrame(),
       {{0x41, 0x9A, 0x10, 0x20}}, kFormatH264, kFormatI264, "telvora::CH264RTPMediaParser::ProcessFrame"},
      {"MPEG-4", [](IDriver* d) -> CRTPMediaParser* { return new CMpeg4RTPMediaParser(d, SizedHeader); },
       {{0, 0, 1, 0xB6, 0x10, 0x60}}, {{0, 0, 1, 0xB6, 0x50, 0x0A}}, kFormatDivx, kFormatDivi,
       "telvora::CMpeg4RTPMediaParser::ProcessFrame"},
  };
  for (const Case& c : kCases) {
    ParserRig rig;
    std::unique_ptr<CRTPMediaParser> parser(c.make(&rig.driver));
    rig.Attach(parser.get());
    uint16_t seq = 1;
    uint32_t timestamp = 0;
    auto send = [&](const Packets& frame) {
      timestamp += 3600;
      for (size_t i = 0; i < frame.size(); ++i) FeedPayload(parser.get(), seq++, i + 1 == frame.size(), frame[i], timestamp);
    };
    rig.allocator.SetRefuse(true);
    send(c.key);
    send(c.delta);  // lets the key frame out, to no host frame
    rig.allocator.SetRefuse(false);
    send(c.delta);
    send(c.key);
    send(c.delta);
    send(c.delta);
    ASSERT_EQ(rig.collector.frames.size(), 3u) << c.name;
    EXPECT_EQ(rig.collector.frames[0].format, c.keyCode) << c.name;
    EXPECT_EQ(rig.collector.frames[1].format, c.deltaCode) << c.name;
    EXPECT_EQ(rig.allocator.Created(), rig.allocator.Released()) << c.name;
    EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, std::string(c.function) +
                                                    ": Frame allocation error, device 127.0.0.1:554"),
              1u)
        << c.name;
  }
}

TEST(FrameHandOff, MarkerOnEmptyBufferHandsNothingOver) {
  ParserRig rig;
  CH264RTPMediaParser parser(&rig.driver);
  rig.Attach(&parser);
  FeedPayload(&parser, 1, true, {0x06, 0x05, 0x01, 0x80});  // SEI only: nothing appended
  FeedPayload(&parser, 2, true, {0x67, 0x42, 0x00, 0x1E});  // SPS only: nothing appended
  EXPECT_EQ(rig.allocator.Created(), 0);
  EXPECT_EQ(rig.collector.frames.size(), 0u);
}

TEST(FrameHandOff, EveryCreatedFrameIsReleasedOnceWhateverTheOutcome) {
  struct Case {
    const char* name;
    bool refuseDelivery;
    bool nullData;
  } const kCases[] = {{"delivered", false, false}, {"refused", true, false}, {"no memory", false, true}};
  for (const Case& c : kCases) {
    ParserRig rig;
    CH264RTPMediaParser parser(&rig.driver);
    rig.Attach(&parser);
    rig.collector.refuse = c.refuseDelivery;
    rig.allocator.SetNullData(c.nullData);
    uint16_t seq = 1;
    for (int frame = 0; frame < 3; ++frame) {
      auto units = KeyFrame();
      for (size_t i = 0; i < units.size(); ++i) FeedPayload(&parser, seq++, i + 1 == units.size(), units[i]);
    }
    EXPECT_EQ(rig.allocator.Created(), 3) << c.name;
    EXPECT_EQ(rig.allocator.Released(), 3) << c.name;
    EXPECT_EQ(rig.allocator.LastDriverName(), "Orvalen") << c.name;
    if (c.nullData) {
      EXPECT_EQ(rig.collector.frames.size(), 0u);
      EXPECT_EQ(rig.driver.Logs().CountAtLevel(
                    1, "telvora::CH264RTPMediaParser::ProcessFrame: Data copying error, device 127.0.0.1:554"),
                3u);
    }
  }
}

TEST(FrameHandOff, NoClientOrNoAllocatorHandsNothingOver) {
  ParserRig rig;
  CH264RTPMediaParser parser(&rig.driver);  // no client set
  uint16_t seq = 1;
  auto units = KeyFrame();
  const std::vector<uint8_t> kDelimiter = {0x09, 0x10};  // the next picture lets the frame out
  for (size_t i = 0; i < units.size(); ++i) FeedPayload(&parser, seq++, i + 1 == units.size(), units[i]);
  FeedPayload(&parser, seq++, false, kDelimiter, 2000);
  EXPECT_EQ(rig.allocator.Created(), 0);
  EXPECT_EQ(parser.GetFrameBufferSize(), 0u);

  rig.Attach(&parser);
  rig.driver.SetAllocator(nullptr);
  for (size_t i = 0; i < units.size(); ++i) FeedPayload(&parser, seq++, i + 1 == units.size(), units[i], 3000);
  FeedPayload(&parser, seq++, false, kDelimiter, 4000);
  EXPECT_EQ(rig.collector.frames.size(), 0u);
  EXPECT_EQ(parser.GetFrameBufferSize(), 0u);
}

}  // namespace
}  // namespace test
}  // namespace telvora
