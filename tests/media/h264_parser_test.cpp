#include <gtest/gtest.h>

#include "media/h264_rtp_media_parser.h"
#include "media/media_format.h"
#include "media_test_kit.h"

namespace telvora {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithStartCode(const Bytes& nal) {
  Bytes out{0, 0, 1};
  out.insert(out.end(), nal.begin(), nal.end());
  return out;
}

bool Parse(const Bytes& data, uint32_t* w, uint32_t* h) {
  return CH264RTPMediaParser::ParseSps(data.data(), data.size(), w, h);
}

SpsFields Sps(std::function<void(SpsFields&)> edit) {
  SpsFields f;
  edit(f);
  return f;
}

TEST(ParseSps, PictureSizeFromFields) {
  struct Case {
    const char* name;
    SpsFields fields;
    uint32_t width, height;
  } const kCases[] = {
      {"baseline 640x480", SpsFields(), 640, 480},
      {"1920x1088 cropped by 4 lines", Sps([](SpsFields& f) {
         f.widthInMbsMinus1 = 119;
         f.heightInMapUnitsMinus1 = 67;
         f.cropping = true;
         f.cropBottom = 4;
       }),
       1920, 1080},
      {"interlaced: map units are field pairs", Sps([](SpsFields& f) {
         f.frameMbsOnly = false;
         f.heightInMapUnitsMinus1 = 17;
       }),
       640, 576},
      {"interlaced cropping counts 4 lines per unit", Sps([](SpsFields& f) {
         f.frameMbsOnly = false;
         f.widthInMbsMinus1 = 119;
         f.heightInMapUnitsMinus1 = 33;
         f.cropping = true;
         f.cropBottom = 2;
       }),
       1920, 1080},
      {"left and right cropping", Sps([](SpsFields& f) {
         f.cropping = true;
         f.cropLeft = 4;
         f.cropRight = 4;
       }),
       624, 480},
      {"high profile with scaling lists", Sps([](SpsFields& f) {
         f.profileIdc = 100;
         f.scalingMatrix = true;
       }),
       640, 480},
      {"high 4:2:2: crop unit is one line", Sps([](SpsFields& f) {
         f.profileIdc = 122;
         f.chromaFormatIdc = 2;
         f.widthInMbsMinus1 = 119;
         f.heightInMapUnitsMinus1 = 67;
         f.cropping = true;
         f.cropBottom = 8;
       }),
       1920, 1080},
      {"high 4:4:4 carries twelve scaling lists", Sps([](SpsFields& f) {
         f.profileIdc = 244;
         f.chromaFormatIdc = 3;
         f.scalingMatrix = true;
       }),
       640, 480},
      {"pic_order_cnt_type 1 with a cycle", Sps([](SpsFields& f) {
         f.pocType = 1;
         f.offsetForNonRefPic = -3;
         f.pocCycle = 5;
       }),
       640, 480},
      {"pic_order_cnt_type 2", Sps([](SpsFields& f) { f.pocType = 2; }), 640, 480},
  };
  for (const Case& c : kCases) {
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(Parse(WithStartCode(MakeSps(c.fields)), &w, &h)) << c.name;
    EXPECT_EQ(w, c.width) << c.name;
    EXPECT_EQ(h, c.height) << c.name;
  }
}

TEST(ParseSps, EmulationPreventionBytesAreSkipped) {
  // A large offset_for_non_ref_pic is coded with more than 22 leading zero
  // bits, so the encoder must escape the run with a 03 byte.
  struct Case {
    int32_t offset;
    uint32_t widthInMbsMinus1, heightInMapUnitsMinus1;
  } const kCases[] = {{-8388608, 39, 29}, {10000000, 79, 44}, {-100000000, 21, 17}};
  for (const Case& c : kCases) {
    SpsFields f;
    f.pocType = 1;
    f.offsetForNonRefPic = c.offset;
    f.widthInMbsMinus1 = c.widthInMbsMinus1;
    f.heightInMapUnitsMinus1 = c.heightInMapUnitsMinus1;
    const Bytes nal = MakeSps(f);
    bool escaped = false;
    for (size_t i = 2; i + 1 < nal.size(); ++i)
      if (nal[i - 2] == 0 && nal[i - 1] == 0 && nal[i] == 3) escaped = true;
    ASSERT_TRUE(escaped) << c.offset;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(Parse(WithStartCode(nal), &w, &h)) << c.offset;
    EXPECT_EQ(w, 16 * (c.widthInMbsMinus1 + 1)) << c.offset;
    EXPECT_EQ(h, 16 * (c.heightInMapUnitsMinus1 + 1)) << c.offset;
  }
}

TEST(ParseSps, Refusals) {
  SpsFields cropAll;
  cropAll.cropping = true;
  cropAll.cropRight = 320;  // crops the whole width
  Bytes late(61, 0xAA);     // SPS start code at 61: inside the first 64 bytes
  Bytes sps = WithStartCode(MakeSps(SpsFields()));
  late.insert(late.end(), sps.begin(), sps.end());
  Bytes tooLate(62, 0xAA);  // start code at 62 still counts; at 64 not
  tooLate.insert(tooLate.end(), 2, 0xAA);
  tooLate.insert(tooLate.end(), sps.begin(), sps.end());
  Bytes pps = WithStartCode({0x68, 0xCE, 0x38, 0x80});

  uint32_t w = 0, h = 0;
  EXPECT_TRUE(Parse(late, &w, &h));
  EXPECT_FALSE(Parse(tooLate, &w, &h));
  EXPECT_FALSE(Parse(pps, &w, &h));
  EXPECT_FALSE(Parse(WithStartCode(MakeSps(cropAll)), &w, &h));
  EXPECT_FALSE(Parse({}, &w, &h));
  EXPECT_FALSE(Parse({0, 0, 1}, &w, &h));

  // A cycle count far beyond the data ends at the data, quickly.
  BitWriter huge;
  huge.Put(66, 8), huge.Put(0, 8), huge.Put(30, 8), huge.Ue(0), huge.Ue(0), huge.Ue(1), huge.Put(0, 1);
  huge.Se(0), huge.Se(0), huge.Ue(0xFFFFFFF0u);
  Bytes hugeNal{0, 0, 1, 0x67};
  hugeNal.insert(hugeNal.end(), huge.Bytes().begin(), huge.Bytes().end());
  EXPECT_FALSE(Parse(hugeNal, &w, &h));
}

TEST(ParseSps, EveryTruncationBeforeTheCroppingFlagFails) {
  SpsFields f;
  f.widthInMbsMinus1 = 119;
  f.heightInMapUnitsMinus1 = 67;
  f.cropping = true;
  f.cropBottom = 4;
  const Bytes full = WithStartCode(MakeSps(f));
  // The last two bytes hold the VUI flag and the stop bit, which are not read.
  for (size_t n = 0; n + 2 < full.size(); ++n) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n + 1]);
    std::copy(full.begin(), full.begin() + std::ptrdiff_t(n), exact.get());
    uint32_t w = 0, h = 0;
    EXPECT_FALSE(CH264RTPMediaParser::ParseSps(exact.get(), n, &w, &h)) << n;
  }
}

// ---- packets ----

const Bytes kPps = {0x68, 0xCE, 0x38, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21, 0xA0};  // first_mb_in_slice 0
const Bytes kIdr2 = {0x65, 0x48, 0x84, 0x21};       // a later slice of the same picture
const Bytes kSlice = {0x41, 0x9A, 0x10, 0x20};   // first_mb_in_slice 0
const Bytes kSliceB = {0x41, 0x4A, 0x10, 0x20};  // a later slice of the same picture
const Bytes kSei = {0x06, 0x05, 0x01, 0x80};
const Bytes kAud = {0x09, 0x10};
const Bytes kTrailer = {0, 0, 1, 0x09, 0x30};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes StapA(std::initializer_list<Bytes> units) {
  Bytes out{0x18};
  for (const Bytes& u : units) {
    out.push_back(static_cast<uint8_t>(u.size() >> 8));
    out.push_back(static_cast<uint8_t>(u.size()));
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

class H264Packets : public ::testing::Test {
 protected:
  H264Packets() : parser(&rig.driver) { rig.Attach(&parser); }
  // Each marker ends a picture; the next one has the next timestamp. Until
  // the parser has seen its markers confirmed, a delimiter of the next
  // picture lets the frame out.
  void Send(const Bytes& payload, bool marker = false) {
    FeedPayload(&parser, seq++, marker, payload, timestamp);
    if (!marker) return;
    timestamp += 3600;
    if (!parser.MarkersConfirmed()) FeedPayload(&parser, seq++, false, kAud, timestamp);
  }
  const std::vector<DeliveredFrame>& Frames() const { return rig.collector.frames; }
  void SendKeyFrame() {
    Send(sps);
    Send(kPps);
    Send(kIdr, true);
  }

  ParserRig rig;
  CH264RTPMediaParser parser;
  uint16_t seq = 100;
  uint32_t timestamp = 9000;
  const Bytes sps = MakeSps(SpsFields());
};

TEST_F(H264Packets, KeyFrameCarriesParameterSetsAndTrailer) {
  Send(kSei);
  Send(sps);
  Send(kAud);
  Send(kPps);
  Send(kIdr, true);
  ASSERT_EQ(Frames().size(), 1u);
  const DeliveredFrame& f = Frames()[0];
  EXPECT_EQ(f.bytes, Concat({WithStartCode(sps), WithStartCode(kPps), WithStartCode(kIdr), kTrailer}));
  EXPECT_EQ(f.format, kFormatH264);
  EXPECT_EQ(f.createFormat, kFormatH264);
  EXPECT_EQ(f.width, 640u);
  EXPECT_EQ(f.height, 480u);
  EXPECT_EQ(f.resolutionClass, 4u);
  EXPECT_TRUE(f.timeSet);
  EXPECT_EQ(rig.collector.timestamps, std::vector<uint32_t>{9000});
  EXPECT_FALSE(parser.IsWaiting());

  Send(kSei);
  Send(kSlice, true);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1].bytes, Concat({WithStartCode(kSlice), kTrailer}));
  EXPECT_EQ(Frames()[1].format, kFormatI264);
  EXPECT_EQ(Frames()[1].width, 640u);
}

TEST_F(H264Packets, FramesWithoutParameterSetsWaitForAKeyFrame) {
  Send(kIdr, true);  // nothing stored to insert
  Send(kSlice, true);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(rig.allocator.Created(), 0);
  SendKeyFrame();
  Send(kIdr, true);  // parameter sets stored: inserted again
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1].format, kFormatH264);
}

TEST_F(H264Packets, SecondSliceOfAnIdrPictureGetsNoSecondInsertion) {
  Send(sps);
  Send(kPps);
  Send(kIdr);
  Send(kIdr2, true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes,
            Concat({WithStartCode(sps), WithStartCode(kPps), WithStartCode(kIdr), WithStartCode(kIdr2), kTrailer}));
}

TEST_F(H264Packets, FuAInsertsParameterSetsOnlyBeforeTheFirstSlice) {
  SendKeyFrame();
  // IDR split in FU-A whose first fragment byte has first_mb_in_slice > 0.
  Send({0x7C, 0x85, 0x48, 0x84});
  Send({0x7C, 0x45, 0x21}, true);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1].bytes, Concat({{0, 0, 1, 0x65, 0x48, 0x84, 0x21}, kTrailer}));
  EXPECT_EQ(Frames()[1].format, kFormatI264);

  // The same with first_mb_in_slice 0 does get them.
  Send({0x7C, 0x85, 0x88, 0x84});
  Send({0x7C, 0x45, 0x21}, true);
  ASSERT_EQ(Frames().size(), 3u);
  EXPECT_EQ(Frames()[2].bytes,
            Concat({WithStartCode(sps), WithStartCode(kPps), {0, 0, 1, 0x65, 0x88, 0x84, 0x21}, kTrailer}));
  EXPECT_EQ(Frames()[2].format, kFormatH264);
}

TEST_F(H264Packets, StapAUnitsAreTreatedOneByOne) {
  Send(StapA({kSei, sps, kPps, kIdr}), true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes, Concat({WithStartCode(sps), WithStartCode(kPps), WithStartCode(kIdr), kTrailer}));
  // Dropped units between slices, and a unit of another type kept.
  const Bytes kFiller = {0x0C, 0xFF, 0x80};
  Send(StapA({kSlice, kSei, kFiller, kAud, kSliceB}), true);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1].bytes, Concat({WithStartCode(kSlice), WithStartCode(kFiller), WithStartCode(kSliceB), kTrailer}));
}

TEST_F(H264Packets, StapABounds) {
  struct Case {
    const char* name;
    Bytes payload;
    bool accepted;
    size_t bufferAfter;  // bytes of the slice unit(s) kept
  } const kCases[] = {
      {"length 3", {0x18, 0x00, 0x01}, false, 0},
      {"sizes add up exactly", StapA({kSliceB, kSliceB}), true, 14},
      {"trailing single byte ignored", Concat({StapA({kSliceB}), {0x00}}), true, 7},
      {"size one beyond the packet", Concat({StapA({kSliceB}), {0x00, 0x05, 0x41, 0x4A, 0x10, 0x20}}), false, 0},
      {"size field only", Concat({StapA({kSliceB}), {0x00, 0x04}}), false, 0},
      {"zero size field at the end", Concat({StapA({kSliceB}), {0x00, 0x00}}), true, 7},
      {"zero-size unit skipped", {0x18, 0x00, 0x00, 0x00, 0x04, 0x41, 0x4A, 0x10, 0x20}, true, 7},
  };
  for (const Case& c : kCases) {
    ParserRig rig2;
    CH264RTPMediaParser p(&rig2.driver);
    rig2.Attach(&p);
    FeedPayload(&p, 1, false, kSliceB);  // something to lose on refusal
    FeedPayload(&p, 2, false, c.payload);
    EXPECT_EQ(p.GetFrameBufferSize(), c.accepted ? 7 + c.bufferAfter : 0u) << c.name;
  }
}

TEST_F(H264Packets, RefusedPacketsDropTheFrame) {
  const Bytes kRefused[] = {
      {0x41},                                         // single NAL of one byte
      {0x7C},                                         // FU-A without header
      {0x00, 0x01, 0x02},                             // type 0
      {0x19, 0x00, 0x00, 0x02, 0x41, 0x00},           // STAP-B
      {0x1A, 0x00, 0x00, 0x00, 0x00, 0x02, 0x41, 0x00},  // MTAP16
      {0x1B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x41},  // MTAP24
      {0x1D, 0x85, 0x00, 0x00, 0x88},                 // FU-B
      {0x1E, 0x00},
      {0x1F, 0x00},
  };
  for (const Bytes& payload : kRefused) {
    SendKeyFrame();
    Send(kSlice);
    ASSERT_EQ(parser.GetFrameBufferSize(), 7u);
    Send(payload, true);
    EXPECT_EQ(parser.GetFrameBufferSize(), 0u) << payload.size();
    EXPECT_TRUE(parser.IsWaiting());
  }
  // An empty payload (all padding) is refused as well.
  SendKeyFrame();
  Send(kSlice);
  Bytes padded = BuildRtpPacket(RtpPacketFields(), Bytes{});
  padded[0] |= 0x20;
  padded[2] = static_cast<uint8_t>(seq >> 8), padded[3] = static_cast<uint8_t>(seq++);
  padded.push_back(1);
  FeedOne(&parser, padded);
  EXPECT_EQ(parser.GetFrameBufferSize(), 0u);
  // Nothing but the key frames went out.
  for (const DeliveredFrame& f : Frames()) EXPECT_EQ(f.format, kFormatH264);
  // The interleaved mode's packets are named, once.
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, "interleaved packetization mode, which is not supported"), 1u);
}

TEST_F(H264Packets, GapStartsOverAndKeepsThePacket) {
  SendKeyFrame();
  Send(kSlice);
  seq += 3;  // lost packets
  Send(kSlice, true);  // processed after the reset, but the depacketizer now waits
  EXPECT_EQ(Frames().size(), 1u);
  SendKeyFrame();
  EXPECT_EQ(Frames().size(), 2u);
}

TEST_F(H264Packets, RefusedDeliveryWaitsForTheNextKeyFrame) {
  rig.collector.refuse = true;
  SendKeyFrame();
  rig.collector.refuse = false;
  Send(kSlice, true);
  EXPECT_EQ(Frames().size(), 1u);  // only the refused key frame was offered
  EXPECT_TRUE(parser.IsWaiting());
}

// A PPS NAL unit with the given ids.
Bytes MakePps(uint32_t ppsId, uint32_t spsId) {
  BitWriter w;
  w.Ue(ppsId);
  w.Ue(spsId);
  w.Put(0, 1);  // entropy_coding_mode_flag
  w.Trailing();
  return Concat({{0x68}, w.Bytes()});
}

// An IDR slice, first of its picture, naming a PPS.
Bytes MakeIdr(uint32_t ppsId) {
  BitWriter w;
  w.Ue(0);  // first_mb_in_slice
  w.Ue(7);  // slice_type I
  w.Ue(ppsId);
  w.Put(0x5A, 8);
  w.Trailing();
  return Concat({{0x65}, w.Bytes()});
}

// Parameter sets are kept per id and the ones an IDR slice names go in
// front of it, whatever came between them (a fragmented SEI) and in
// whatever order they were given.
TEST_F(H264Packets, IdrSlicesGetTheParameterSetsTheyName) {
  SpsFields hd;
  hd.spsId = 1;
  hd.widthInMbsMinus1 = 79;       // 1280
  hd.heightInMapUnitsMinus1 = 44;  // 720
  const Bytes spsHd = MakeSps(hd);
  const Bytes pps0 = MakePps(0, 0), pps1 = MakePps(1, 1);
  Send(StapA({sps, spsHd, pps0, pps1}));
  Send({0x1C, 0x86, 0x05, 0x01});  // SEI in two fragments
  Send({0x1C, 0x46, 0x80});
  Send(MakeIdr(1), true);
  Send(MakeIdr(0), true);
  EXPECT_EQ(parser.GetStoredSpsCount(), 2u);
  EXPECT_EQ(parser.GetStoredPpsCount(), 2u);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[0].bytes, Concat({WithStartCode(spsHd), WithStartCode(pps1), WithStartCode(MakeIdr(1)), kTrailer}));
  EXPECT_EQ(Frames()[0].format, kFormatH264);
  EXPECT_EQ(Frames()[0].width, 1280u);
  EXPECT_EQ(Frames()[0].height, 720u);
  // The size changes with the next key frame, and the log says so once.
  EXPECT_EQ(Frames()[1].bytes, Concat({WithStartCode(sps), WithStartCode(pps0), WithStartCode(MakeIdr(0)), kTrailer}));
  EXPECT_EQ(Frames()[1].width, 640u);
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(3, "changed from 1280x720 to 640x480"), 1u);

  // Sets from the description in the other order are still found.
  ParserRig rig2;
  CH264RTPMediaParser reversed(&rig2.driver);
  rig2.Attach(&reversed);
  reversed.SetStreamParameters({kPps, sps, {}});
  EXPECT_EQ(reversed.GetWidth(), 640u);
  FeedPayload(&reversed, 1, true, kIdr, 100);
  FeedPayload(&reversed, 2, false, kAud, 200);
  ASSERT_EQ(rig2.collector.frames.size(), 1u);
  EXPECT_EQ(rig2.collector.frames[0].format, kFormatH264);
}

// One access unit per frame whether the marker comes on every slice, never,
// or too early; only a marker whose frame may still continue waits.
TEST_F(H264Packets, FramesEndWhereTheNextAccessUnitBegins) {
  SendKeyFrame();  // confirms the markers
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_TRUE(parser.MarkersConfirmed());
  // Marker on the first slice of two: the frame went out at once, the
  // second slice shows it was cut short and the picture is withheld.
  FeedPayload(&parser, seq++, true, kSlice, timestamp);
  FeedPayload(&parser, seq++, true, kSliceB, timestamp);
  EXPECT_FALSE(parser.MarkersConfirmed());
  EXPECT_TRUE(parser.IsWaiting());
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(3, "sets the RTP marker before the end of a picture"), 1u);
  // From now on frames end at the next picture: both slices in one frame.
  timestamp += 3600;
  SendKeyFrame();
  FeedPayload(&parser, seq++, true, kSlice, timestamp);
  FeedPayload(&parser, seq++, true, kSliceB, timestamp);
  FeedPayload(&parser, seq++, false, kAud, timestamp + 3600);
  ASSERT_EQ(Frames().size(), 4u);
  EXPECT_EQ(Frames()[3].bytes, Concat({WithStartCode(kSlice), WithStartCode(kSliceB), kTrailer}));
}

TEST(H264StreamParameters, StoredOnlyWithAUsableSps) {
  SpsFields zeroWidth;
  zeroWidth.cropping = true;
  zeroWidth.cropLeft = 320;
  const Bytes usableSps = MakeSps(SpsFields());
  struct Case {
    const char* name;
    MEDIA_STREAM_PARAMETERS parameters;
    bool stored;
    bool delivers;
  } const kCases[] = {
      {"usable", {usableSps, kPps, {}}, true, true},
      {"width 0", {MakeSps(zeroWidth), kPps, {}}, false, false},
      {"no PPS", {usableSps, {}, {}}, false, false},
      {"no SPS", {{}, kPps, {}}, false, false},
      {"not an SPS", {kPps, kPps, {}}, false, false},
      // Mode 0 allows single NAL units only; cameras that say so, or say
      // nothing, still send STAP-A, which is taken.
      {"mode 0", {usableSps, kPps, {}, 0, 0, 0}, true, true},
      {"mode 1", {usableSps, kPps, {}, 0, 0, 1}, true, true},
      {"interleaved mode", {usableSps, kPps, {}, 0, 0, 2}, true, false},
  };
  for (const Case& c : kCases) {
    ParserRig rig;
    CH264RTPMediaParser parser(&rig.driver);
    rig.Attach(&parser);
    parser.SetStreamParameters(c.parameters);
    const size_t refusals = c.parameters.packetizationMode == 2 ? 1u : 0u;
    EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, "interleaved packetization mode, which is not supported"), refusals)
        << c.name << ", before any packet";
    EXPECT_EQ(parser.GetWidth(), c.stored ? 640u : 0u) << c.name;
    // An IDR alone is a key frame only with stored sets.
    FeedPayload(&parser, 1, true, StapA({kIdr}));
    FeedPayload(&parser, 2, false, kAud, 4000);
    FeedPayload(&parser, 3, true, kIdr, 4000);
    FeedPayload(&parser, 4, false, kAud, 8000);
    EXPECT_EQ(rig.collector.frames.size(), c.delivers ? 2u : 0u) << c.name;
    EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, "interleaved packetization mode, which is not supported"), refusals)
        << c.name;
  }
}

}  // namespace
}  // namespace test
}  // namespace telvora
