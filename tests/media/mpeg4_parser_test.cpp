#include <gtest/gtest.h>

#include "media/media_format.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "media_test_kit.h"
#include "platform/module.h"

namespace telvora {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kConfig = {0, 0, 1, 0xB0, 0x01, 0, 0, 1, 0xB5, 0x09, 0, 0, 1, 0x20, 0x08, 0xC8};
const Bytes kIVop = {0, 0, 1, 0xB6, 0x10, 0x60, 0x51, 0x82};
const Bytes kPVop = {0, 0, 1, 0xB6, 0x50, 0x0A, 0x21};

int32_t g_calls = 0;
Bytes g_lastInput;
int32_t FakeHeaderParser(const uint8_t* data, uint32_t size, int32_t* width, int32_t* height) {
  ++g_calls;
  g_lastInput.assign(data, data + size);
  *width = 352;
  *height = 288;
  return 1;
}
int32_t FailingHeaderParser(const uint8_t*, uint32_t, int32_t*, int32_t*) { return 0; }

class Mpeg4Packets : public ::testing::Test {
 protected:
  explicit Mpeg4Packets(MpegHeaderParserFunction f = FakeHeaderParser) : parser(&rig.driver, f) {
    rig.Attach(&parser);
    g_calls = 0;
  }
  // Each marker ends a picture; the next one has the next timestamp. Until
  // the parser has seen its markers confirmed, a packet of the next picture
  // lets the frame out.
  void Send(const Bytes& payload, bool marker = false) {
    FeedPayload(&parser, seq++, marker, payload, timestamp);
    if (!marker) return;
    timestamp += 3000;
    if (!parser.MarkersConfirmed()) FeedPayload(&parser, seq++, false, {0x00}, timestamp);
  }
  const std::vector<DeliveredFrame>& Frames() const { return rig.collector.frames; }

  ParserRig rig;
  CMpeg4RTPMediaParser parser;
  uint16_t seq = 60000;
  uint32_t timestamp = 3000;
};

TEST_F(Mpeg4Packets, InBandConfigurationLeadsEveryIVop) {
  Send(Cat({kConfig, kIVop}), true);
  Send(kPVop, true);
  Send(kIVop);  // configuration remembered from the first packet
  Send({0x11, 0x22}, true);
  ASSERT_EQ(Frames().size(), 3u);
  EXPECT_EQ(Frames()[0].bytes, Cat({kConfig, kIVop}));
  EXPECT_EQ(Frames()[0].format, kFormatDivx);
  EXPECT_EQ(Frames()[0].createFormat, kFormatDivx);
  EXPECT_EQ(Frames()[0].width, 352u);
  EXPECT_EQ(Frames()[0].height, 288u);
  EXPECT_EQ(Frames()[0].resolutionClass, 2u);
  EXPECT_EQ(g_lastInput, Cat({kConfig, kIVop, {0x11, 0x22}}));  // the whole frame went to the library
  EXPECT_EQ(Frames()[1].bytes, kPVop);
  EXPECT_EQ(Frames()[1].format, kFormatDivi);
  EXPECT_EQ(Frames()[1].width, 352u);  // size of the last key frame
  EXPECT_EQ(Frames()[2].bytes, Cat({kConfig, kIVop, {0x11, 0x22}}));
  EXPECT_EQ(g_calls, 2);
}

// Encoders put a group-of-VOP header in front of I-VOPs; the frame must
// still start there, with the header kept between configuration and VOP.
TEST_F(Mpeg4Packets, GroupOfVopHeaderBeforeTheVop) {
  const Bytes kGov = {0, 0, 1, 0xB3, 0x00, 0x10, 0x07};
  MEDIA_STREAM_PARAMETERS parameters;
  parameters.config = kConfig;
  parser.SetStreamParameters(parameters);
  Send(Cat({kGov, kIVop}), true);
  Send(kPVop, true);
  Send(Cat({kConfig, kGov, kIVop}), true);
  // A group header followed by a P-VOP ends the key frame flag like a P-VOP.
  Send(Cat({kGov, kPVop}), true);
  // A group header without a VOP holds no picture: nothing goes out.
  Send(kGov, true);
  ASSERT_EQ(Frames().size(), 4u);
  EXPECT_EQ(Frames()[0].bytes, Cat({kConfig, kGov, kIVop}));
  EXPECT_EQ(Frames()[0].format, kFormatDivx);
  EXPECT_EQ(Frames()[1].bytes, kPVop);
  EXPECT_EQ(Frames()[2].bytes, Cat({kConfig, kGov, kIVop}));
  EXPECT_EQ(Frames()[2].format, kFormatDivx);
  EXPECT_EQ(Frames()[3].bytes, Cat({kGov, kPVop}));
  EXPECT_EQ(Frames()[3].format, kFormatDivi);
}

TEST_F(Mpeg4Packets, SdpConfigurationIsTheFallback) {
  MEDIA_STREAM_PARAMETERS parameters;
  parameters.config = kConfig;
  parser.SetStreamParameters(parameters);
  Send(kIVop, true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes, Cat({kConfig, kIVop}));
}

TEST_F(Mpeg4Packets, IVopWithoutAnyConfigurationIsStillAKeyFrame) {
  Send(kIVop, true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes, kIVop);
  EXPECT_EQ(Frames()[0].format, kFormatDivx);
}

TEST_F(Mpeg4Packets, WaitsForAnIVop) {
  Send(kPVop, true);
  Send({0x33, 0x44, 0x55, 0x66, 0x77}, true);
  EXPECT_TRUE(Frames().empty());
  EXPECT_TRUE(parser.IsWaiting());
  Send(kIVop, true);
  EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(Mpeg4Packets, VopStartCodeInsideAPacketDoesNotStartAFrame) {
  Send(kIVop);
  Send(Cat({{0x99}, kPVop}), true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes, Cat({kIVop, {0x99}, kPVop}));
  EXPECT_EQ(Frames()[0].format, kFormatDivx);
}

// Headers at the head of a packet start a frame, whichever comes first.
TEST_F(Mpeg4Packets, FramesStartAtAnyLeadingHeader) {
  const Bytes kVol = {0, 0, 1, 0x20, 0x08, 0xC8};
  const Bytes kVo = {0, 0, 1, 0xB5, 0x09};
  const Bytes kGov = {0, 0, 1, 0xB3, 0x00, 0x10, 0x07};
  struct Case {
    const char* name;
    Bytes keyPacket;
    Bytes expected;
  } const kCases[] = {
      {"VOL", Cat({kVol, kIVop}), Cat({kVol, kIVop})},
      {"VO", Cat({kVo, kVol, kIVop}), Cat({kVo, kVol, kIVop})},
      {"VOS", Cat({kConfig, kIVop}), Cat({kConfig, kIVop})},
      {"group of VOP", Cat({kGov, kIVop}), Cat({kGov, kIVop})},
  };
  for (const Case& c : kCases) {
    ParserRig rig2;
    CMpeg4RTPMediaParser p(&rig2.driver, FakeHeaderParser);
    rig2.Attach(&p);
    // The key frame's marker comes early; the rest of its VOP follows.
    FeedPayload(&p, 1, true, c.keyPacket, 10);
    FeedPayload(&p, 2, true, {0x11, 0x22}, 10);
    FeedPayload(&p, 3, true, kPVop, 20);
    ASSERT_EQ(rig2.collector.frames.size(), 1u) << c.name;
    EXPECT_EQ(rig2.collector.frames[0].bytes, Cat({c.expected, {0x11, 0x22}})) << c.name;
    EXPECT_EQ(rig2.collector.frames[0].format, kFormatDivx) << c.name;
  }
}

TEST_F(Mpeg4Packets, StoreStreamConfigBounds) {
  struct Case {
    const char* name;
    Bytes payload;
    size_t taken;
    Bytes stored;
  } const kCases[] = {
      {"exactly 4 bytes", {0, 0, 1, 0xB0}, 0, {}},
      {"configuration before a VOP", Cat({kConfig, kIVop}), kConfig.size(), kConfig},
      {"configuration alone, short", kConfig, kConfig.size(), kConfig},
      {"configuration alone, 64 bytes", Cat({kConfig, Bytes(48, 0x5A)}), 0, {}},
      {"VOP start code in the last 4 bytes", Cat({kConfig, {0, 0, 1, 0xB6}}), kConfig.size(), kConfig},
  };
  for (const Case& c : kCases) {
    CMpeg4RTPMediaParser p(nullptr, nullptr);
    EXPECT_EQ(p.StoreStreamConfig(c.payload.data(), c.payload.size()), c.taken) << c.name;
    EXPECT_EQ(p.GetInBandConfig(), c.stored) << c.name;
  }
}

TEST_F(Mpeg4Packets, FourBytePayloadIsNeitherConfigurationNorVop) {
  Send({0, 0, 1, 0xB6}, true);
  Send({0, 0, 1, 0xB0}, true);
  EXPECT_TRUE(Frames().empty());
  EXPECT_TRUE(parser.GetInBandConfig().empty());
}

TEST_F(Mpeg4Packets, GapDropsTheFrameAndWaits) {
  Send(kIVop);
  seq++;
  Send({0x11}, true);
  Send(kPVop, true);
  EXPECT_TRUE(Frames().empty());
  Send(kIVop, true);
  EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(Mpeg4Packets, CopyFailureIsLogged) {
  rig.allocator.SetNullData(true);
  Send(kIVop, true);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(
                1, "telvora::CMpeg4RTPMediaParser::ProcessFrame: Data copying error, device 127.0.0.1:554"),
            1u);
  EXPECT_EQ(rig.allocator.Released(), 1);
  EXPECT_TRUE(parser.IsWaiting());
}

class Mpeg4WithoutLibrary : public Mpeg4Packets {
 protected:
  Mpeg4WithoutLibrary() : Mpeg4Packets(nullptr) {}
};

TEST_F(Mpeg4WithoutLibrary, KeyFramesAreDroppedWithOneLineNamingTheLibrary) {
  Send(Cat({kConfig, kIVop}), true);
  Send(kPVop, true);
  Send(kIVop, true);
  Send(kPVop, true);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(rig.allocator.Created(), 0);
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, "The MPEG-4 header library " + platform::ModuleFileName("Kovadel") +
                                                  " cannot be loaded"),
            1u);
}

class Mpeg4WithFailingLibrary : public Mpeg4Packets {
 protected:
  Mpeg4WithFailingLibrary() : Mpeg4Packets(FailingHeaderParser) {}
};

TEST_F(Mpeg4WithFailingLibrary, KeyFrameIsDroppedAndTheNextIVopAwaited) {
  Send(kIVop, true);
  Send(kPVop, true);
  EXPECT_TRUE(Frames().empty());
  EXPECT_TRUE(parser.IsWaiting());
}

TEST(Mpeg4Library, LoadedFromTheBuild) {
  FakeDriver driver;
  CMpeg4RTPMediaParser parser(&driver);
  EXPECT_TRUE(parser.HasHeaderParser());
}

}  // namespace
}  // namespace test
}  // namespace telvora
