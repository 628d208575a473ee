#include <gtest/gtest.h>

#include "media/jpeg_rtp_media_parser.h"
#include "media/media_format.h"
#include "media_test_kit.h"

namespace telvora {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;

// ITU-T T.81 Annex K, as a reader of the standard writes them down.
const Bytes kLumQ = {
    0x10, 0x0B, 0x0C, 0x0E, 0x0C, 0x0A, 0x10, 0x0E, 0x0D, 0x0E, 0x12, 0x11, 0x10, 0x13, 0x18, 0x28,
    0x1A, 0x18, 0x16, 0x16, 0x18, 0x31, 0x23, 0x25, 0x1D, 0x28, 0x3A, 0x33, 0x3D, 0x3C, 0x39, 0x33,
    0x38, 0x37, 0x40, 0x48, 0x5C, 0x4E, 0x40, 0x44, 0x57, 0x45, 0x37, 0x38, 0x50, 0x6D, 0x51, 0x57,
    0x5F, 0x62, 0x67, 0x68, 0x67, 0x3E, 0x4D, 0x71, 0x79, 0x70, 0x64, 0x78, 0x5C, 0x65, 0x67, 0x63};
const Bytes kChromQ = {
    0x11, 0x12, 0x12, 0x18, 0x15, 0x18, 0x2F, 0x1A, 0x1A, 0x2F, 0x63, 0x42, 0x38, 0x42, 0x63, 0x63,
    0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63,
    0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63, 0x63};
const Bytes kLumDcCounts = {
    0x00, 0x01, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kLumDcValues = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B};
const Bytes kLumAcCounts = {
    0x00, 0x02, 0x01, 0x03, 0x03, 0x02, 0x04, 0x03, 0x05, 0x05, 0x04, 0x04, 0x00, 0x00, 0x01, 0x7D};
const Bytes kLumAcValues = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5,
    0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
    0xF9, 0xFA};
const Bytes kChromDcCounts = {
    0x00, 0x03, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kChromDcValues = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B};
const Bytes kChromAcCounts = {
    0x00, 0x02, 0x01, 0x02, 0x04, 0x04, 0x03, 0x04, 0x07, 0x05, 0x04, 0x04, 0x00, 0x01, 0x02, 0x77};
const Bytes kChromAcValues = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0,
    0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26,
    0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
    0xF9, 0xFA};

Bytes Segment(uint8_t marker, const Bytes& body) {
  Bytes out{0xFF, marker, static_cast<uint8_t>((body.size() + 2) >> 8), static_cast<uint8_t>(body.size() + 2)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Dht(uint8_t classAndId, const Bytes& counts, const Bytes& values) {
  return Segment(0xC4, Cat({{classAndId}, counts, values}));
}

// The JPEG header expected in front of the scan data.
Bytes ReferenceHeader(uint8_t sampling, uint16_t width, uint16_t height, const Bytes& table0, const Bytes& table1,
                      uint16_t restartInterval) {
  Bytes out{0xFF, 0xD8};
  out = Cat({out, Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0})});
  if (restartInterval != 0)
    out = Cat({out, Segment(0xDD, {static_cast<uint8_t>(restartInterval >> 8), static_cast<uint8_t>(restartInterval)})});
  out = Cat({out, Segment(0xDB, Cat({{0x00}, table0}))});
  if (!table1.empty()) out = Cat({out, Segment(0xDB, Cat({{0x01}, table1}))});
  const uint8_t chroma = table1.empty() ? 0 : 1;
  out = Cat({out, Segment(0xC0, {8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width), 3, 1,
                                 sampling, 0, 2, 0x11, chroma, 3, 0x11, chroma})});
  out = Cat({out, Dht(0x00, kLumDcCounts, kLumDcValues), Dht(0x10, kLumAcCounts, kLumAcValues),
             Dht(0x01, kChromDcCounts, kChromDcValues), Dht(0x11, kChromAcCounts, kChromAcValues)});
  out = Cat({out, Segment(0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0})});
  return out;
}

Bytes MainHeader(uint32_t offset, uint8_t type, uint8_t q, uint8_t width8, uint8_t height8) {
  return {0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), type, q, width8, height8};
}

const Bytes kScan = {0x12, 0x34, 0x56, 0xFF, 0x00, 0x78, 0x9A};
const Bytes kEoi = {0xFF, 0xD9};

Bytes Q99Tables() {
  uint8_t t[128];
  CJpegRTPMediaParser::ScaleQuantTables(99, t);
  return Bytes(t, t + 128);
}

class JpegPackets : public ::testing::Test {
 protected:
  JpegPackets() : parser(&rig.driver) { rig.Attach(&parser); }
  void Send(const Bytes& payload, bool marker = false) { FeedPayload(&parser, seq++, marker, payload, 4500); }
  void SendExtension(uint16_t profile, const Bytes& data, const Bytes& payload, bool marker) {
    RtpPacketFields f;
    f.sequence = seq++;
    f.timestamp = 4500;  // one image, one timestamp
    f.marker = marker;
    f.hasExtension = true;
    f.extensionProfile = profile;
    f.extension = data;
    FeedOne(&parser, BuildRtpPacket(f, payload));
  }
  const std::vector<DeliveredFrame>& Frames() const { return rig.collector.frames; }

  ParserRig rig;
  CJpegRTPMediaParser parser;
  uint16_t seq = 7;
};

TEST_F(JpegPackets, HeaderLayoutByteForByte) {
  Send(Cat({MainHeader(0, 1, 50, 40, 30), kScan}), true);
  ASSERT_EQ(Frames().size(), 1u);
  const Bytes header = ReferenceHeader(0x22, 320, 240, kLumQ, kChromQ, 0);
  ASSERT_EQ(header.size(), 623u);
  EXPECT_EQ(Frames()[0].bytes, Cat({header, kScan, kEoi}));
  EXPECT_EQ(Frames()[0].createFormat, kFormatJpeg);
  EXPECT_EQ(Frames()[0].format, 0u);  // the code given to CreateFrame stands
  EXPECT_EQ(Frames()[0].width, 320u);
  EXPECT_EQ(Frames()[0].height, 240u);
  EXPECT_EQ(Frames()[0].resolutionClass, 2u);
  EXPECT_TRUE(Frames()[0].timeSet);
  EXPECT_TRUE(parser.IsWaiting());  // every frame needs a new start
}

TEST_F(JpegPackets, HeaderVariants) {
  const Bytes kTables128 = [] {
    Bytes t(128);
    for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(i + 1);
    return t;
  }();
  const Bytes kTables64(kTables128.begin(), kTables128.begin() + 64);
  const Bytes lower(kTables128.begin(), kTables128.begin() + 64), upper(kTables128.begin() + 64, kTables128.end());
  const Bytes q99 = Q99Tables();
  const Bytes q99l(q99.begin(), q99.begin() + 64), q99c(q99.begin() + 64, q99.end());
  struct Case {
    const char* name;
    Bytes firstPayload;
    Bytes expectedHeader;
    Bytes expectedScan;
  } const kCases[] = {
      {"type 0 is 4:2:2", Cat({MainHeader(0, 0, 50, 40, 30), kScan}), ReferenceHeader(0x21, 320, 240, kLumQ, kChromQ, 0),
       kScan},
      {"type 65: restart interval 10", Cat({MainHeader(0, 65, 50, 40, 30), {0, 10, 0xFF, 0xFF}, kScan}),
       ReferenceHeader(0x22, 320, 240, kLumQ, kChromQ, 10), kScan},
      {"width and height byte 0 mean 2048", Cat({MainHeader(0, 1, 50, 0, 0), kScan}),
       ReferenceHeader(0x22, 2048, 2048, kLumQ, kChromQ, 0), kScan},
      {"Q 255 with 128 table bytes", Cat({MainHeader(0, 1, 255, 40, 30), {0, 0, 0, 128}, kTables128, kScan}),
       ReferenceHeader(0x22, 320, 240, lower, upper, 0), kScan},
      {"Q 255 with 64 table bytes: one table for all", Cat({MainHeader(0, 1, 255, 40, 30), {0, 0, 0, 64}, kTables64, kScan}),
       ReferenceHeader(0x22, 320, 240, kTables64, {}, 0), kScan},
      {"Q 255 with table length 0: tables of Q 99", Cat({MainHeader(0, 1, 255, 40, 30), {0, 0, 0, 0}, kScan}),
       ReferenceHeader(0x22, 320, 240, q99l, q99c, 0), kScan},
      {"Q 255 with MBZ set: tables of Q 99, header kept", Cat({MainHeader(0, 1, 255, 40, 30), {1, 0, 0, 0}, kScan}),
       ReferenceHeader(0x22, 320, 240, q99l, q99c, 0), Cat({{1, 0, 0, 0}, kScan})},
      {"Q 255 restart and tables", Cat({MainHeader(0, 65, 255, 40, 30), {0, 3, 0xFF, 0xFF}, {0, 0, 0, 128}, kTables128, kScan}),
       ReferenceHeader(0x22, 320, 240, lower, upper, 3), kScan},
  };
  for (const Case& c : kCases) {
    rig.collector.frames.clear();
    Send(c.firstPayload, true);
    ASSERT_EQ(Frames().size(), 1u) << c.name;
    EXPECT_EQ(Frames()[0].bytes, Cat({c.expectedHeader, c.expectedScan, kEoi})) << c.name;
  }
}

TEST_F(JpegPackets, ContinuationPacketsLoseTheirHeaders) {
  const Bytes more = {0xAB, 0xCD};
  struct Case {
    const char* name;
    uint8_t type;
    Bytes restart;
  } const kCases[] = {{"8 header bytes", 1, {}}, {"12 header bytes with restart", 65, {0, 10, 0xFF, 0xFF}}};
  for (const Case& c : kCases) {
    rig.collector.frames.clear();
    Send(Cat({MainHeader(0, c.type, 50, 40, 30), c.restart, kScan}));
    Send(Cat({MainHeader(7, c.type, 50, 40, 30), c.restart, more}));
    Send(Cat({MainHeader(9, c.type, 50, 40, 30), c.restart, kEoi}), true);
    ASSERT_EQ(Frames().size(), 1u) << c.name;
    const Bytes& f = Frames()[0].bytes;
    EXPECT_EQ(Bytes(f.end() - 11, f.end()), Cat({kScan, more, kEoi})) << c.name;  // no second EOI
  }
}

TEST_F(JpegPackets, ContinuationWhileWaitingIsDropped) {
  Send(Cat({MainHeader(100, 1, 50, 40, 30), kScan}));
  EXPECT_EQ(parser.GetFrameBufferSize(), 0u);
  Send(Cat({MainHeader(200, 1, 50, 40, 30), kScan}), true);
  EXPECT_TRUE(Frames().empty());
  Send({0, 0, 0}, true);  // under 4 bytes: ignored
  EXPECT_TRUE(Frames().empty());
}

TEST_F(JpegPackets, LossDropsTheFrame) {
  Send(Cat({MainHeader(0, 1, 50, 40, 30), kScan}));
  seq++;
  Send(Cat({MainHeader(14, 1, 50, 40, 30), kScan}), true);
  EXPECT_TRUE(Frames().empty());
  Send(Cat({MainHeader(0, 1, 50, 40, 30), kScan}), true);
  EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(JpegPackets, HeadersThatCannotBePreparedDropTheFrameSilently) {
  const Bytes kCases[] = {
      MainHeader(0, 1, 50, 40, 30),                                 // 8 bytes, nothing more
      Cat({MainHeader(0, 65, 50, 40, 30), {0, 10}}),                // restart header cut short
      Cat({MainHeader(0, 1, 255, 40, 30), {0, 0}}),                 // quantization header cut short
      Cat({MainHeader(0, 1, 255, 40, 30), {0, 0, 0, 200}, kScan}),  // tables beyond the packet
      Cat({MainHeader(0, 1, 255, 40, 30), {0, 0, 2, 88}, Bytes(600, 7)}),  // 1095-byte header
  };
  for (const Bytes& payload : kCases) {
    Send(payload, true);
    EXPECT_TRUE(Frames().empty()) << payload.size();
    EXPECT_EQ(parser.GetFrameBufferSize(), 0u);
  }
  EXPECT_EQ(rig.allocator.Created(), 0);
  EXPECT_TRUE(rig.driver.Logs().Lines().empty());
}

TEST_F(JpegPackets, ExtensionModeKeepsTheImagesOwnSegments) {
  // SOF0 for 176x144 inside the extension, scan data in a continuation.
  const Bytes sof = Segment(0xC0, {8, 0, 144, 0, 176, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
  Bytes segments = Cat({Segment(0xDB, Cat({{0}, kLumQ})), sof});
  while (segments.size() % 4 != 0) segments.insert(segments.begin(), 0xFF);  // fill bytes
  SendExtension(0xFFD8, segments, {}, false);
  Send(Cat({MainHeader(1, 1, 50, 22, 18), kScan}), true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes, Cat({{0xFF, 0xD8}, segments, kScan, kEoi}));
  EXPECT_EQ(Frames()[0].width, 176u);
  EXPECT_EQ(Frames()[0].height, 144u);
  EXPECT_EQ(Frames()[0].resolutionClass, 1u);

  // Without SOF0 the size is unknown; a 0xFFFF extension continues a frame.
  const Bytes dqt = Cat({{0xFF, 0xFF, 0xFF}, Segment(0xDB, Cat({{0}, kLumQ}))});  // 72 bytes
  SendExtension(0xFFD8, dqt, {}, false);
  SendExtension(0xFFFF, {0x11, 0x22, 0x33, 0x44}, {}, true);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1].bytes, Cat({{0xFF, 0xD8}, dqt, {0x11, 0x22, 0x33, 0x44}, kEoi}));
  EXPECT_EQ(Frames()[1].width, 0u);
  EXPECT_EQ(Frames()[1].height, 0u);

  // A 0xFFFF extension while waiting is dropped.
  SendExtension(0xFFFF, {0x11, 0x22, 0x33, 0x44}, {}, true);
  EXPECT_EQ(Frames().size(), 2u);

  // A table that holds the bytes of a SOF marker is no SOF.
  Bytes table = kLumQ;
  table[3] = 0xFF;
  table[4] = 0xC0;
  const Bytes tricky = Cat({Segment(0xDB, Cat({{0}, table})), sof});  // 88 bytes
  SendExtension(0xFFD8, tricky, Cat({MainHeader(1, 1, 50, 22, 18), kScan}), true);
  ASSERT_EQ(Frames().size(), 3u);
  EXPECT_EQ(Frames()[2].width, 176u);
  EXPECT_EQ(Frames()[2].height, 144u);
}

TEST_F(JpegPackets, ExtensionAndScanDataInOnePacketKeepTheirOrder) {
  const Bytes sof = Cat({Segment(0xC0, {8, 0, 16, 0, 16, 3, 1, 0x22, 0, 2, 0x11, 0, 3, 0x11, 0}), {0xFF}});
  SendExtension(0xFFD8, sof, Cat({MainHeader(1, 1, 50, 2, 2), kScan}), true);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].bytes, Cat({{0xFF, 0xD8}, sof, kScan, kEoi}));
}

TEST_F(JpegPackets, HostFailures) {
  const Bytes frame = Cat({MainHeader(0, 1, 50, 40, 30), kScan});
  const char* kAllocation = "telvora::CJpegRTPMediaParser::ProcessFrame: Frame allocation error, device 127.0.0.1:554";
  rig.allocator.SetRefuse(true);
  Send(frame, true);
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, kAllocation), 1u);
  rig.allocator.SetRefuse(false);
  rig.driver.SetAllocator(nullptr);
  Send(frame, true);
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, kAllocation), 1u);  // once until a frame goes out again
  rig.driver.SetAllocator(&rig.allocator);
  rig.allocator.SetNullData(true);
  Send(frame, true);
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(
                1, "telvora::CJpegRTPMediaParser::ProcessFrame: Data copying error, device 127.0.0.1:554"),
            1u);
  EXPECT_EQ(rig.allocator.Created(), 1);
  EXPECT_EQ(rig.allocator.Released(), 1);
  rig.allocator.SetNullData(false);
  Send(frame, true);
  EXPECT_EQ(Frames().size(), 1u);
}

// Q 128 to 254 may send its tables once and length 0 after that; types
// from 128 carry no restart header in any packet.
TEST_F(JpegPackets, TablesOfAQAreKeptAndDynamicTypesSkipEightBytes) {
  Bytes tables(128);
  for (size_t i = 0; i < tables.size(); ++i) tables[i] = static_cast<uint8_t>(i + 1);
  Send(Cat({MainHeader(0, 129, 200, 40, 30), {0, 0, 0, 128}, tables, kScan}));
  Send(Cat({MainHeader(7, 129, 200, 40, 30), {0xAB, 0xCD}}), true);
  Send(Cat({MainHeader(0, 1, 200, 40, 30), {0, 0, 0, 0}, kScan}), true);
  ASSERT_EQ(Frames().size(), 2u);
  for (const DeliveredFrame& f : Frames()) {
    // DQT segments right after SOI and APP0: table 0, then table 1.
    ASSERT_GT(f.bytes.size(), 20u + 2 * 69);
    EXPECT_EQ(Bytes(f.bytes.begin() + 25, f.bytes.begin() + 89), Bytes(tables.begin(), tables.begin() + 64));
    EXPECT_EQ(Bytes(f.bytes.begin() + 94, f.bytes.begin() + 158), Bytes(tables.begin() + 64, tables.end()));
  }
  EXPECT_EQ(Bytes(Frames()[0].bytes.end() - 11, Frames()[0].bytes.end()), Cat({kScan, {0xAB, 0xCD}, kEoi}));
}

// 16-bit tables become DQT segments of precision 1 under SOF1.
TEST_F(JpegPackets, SixteenBitTables) {
  Bytes tables;
  for (int i = 0; i < 128; ++i) tables.insert(tables.end(), {0x01, static_cast<uint8_t>(i)});
  Send(Cat({MainHeader(0, 1, 255, 40, 30), {0, 3, 1, 0}, tables, kScan}), true);
  ASSERT_EQ(Frames().size(), 1u);
  const Bytes& f = Frames()[0].bytes;
  EXPECT_EQ(Bytes(f.begin() + 20, f.begin() + 25), (Bytes{0xFF, 0xDB, 0x00, 0x83, 0x10}));
  EXPECT_EQ(Bytes(f.begin() + 25, f.begin() + 153), Bytes(tables.begin(), tables.begin() + 128));
  EXPECT_EQ(Bytes(f.begin() + 153, f.begin() + 158), (Bytes{0xFF, 0xDB, 0x00, 0x83, 0x11}));
  EXPECT_EQ(Bytes(f.begin() + 286, f.begin() + 288), (Bytes{0xFF, 0xC1}));
}

TEST(JpegQuantTables, ScalingFollowsTheQFactor) {
  struct Case {
    uint8_t q;
    size_t index;
    uint8_t expected;
  } const kCases[] = {
      {50, 0, 16},   {50, 64, 17},  {50, 127, 99},  // scale 100: the tables themselves
      {25, 0, 32},   {25, 63, 198},                 // scale 200
      {75, 0, 8},    {75, 1, 6},                    // scale 50, rounded: (11 * 50 + 50) / 100
      {99, 0, 1},    {99, 127, 2},                  // scale 2, never below 1
      {1, 0, 255},   {1, 64, 255},                  // scale 5000, capped at 255
      {0, 0, 255},   {200, 127, 2},                 // Q outside 1..99 is limited
  };
  for (const Case& c : kCases) {
    uint8_t t[128];
    CJpegRTPMediaParser::ScaleQuantTables(c.q, t);
    EXPECT_EQ(t[c.index], c.expected) << int(c.q) << " at " << c.index;
  }
}

TEST(JpegHeaderPreparation, NeverWritesPastTheArea) {
  // The largest header that fits, and one byte of tables more.
  const size_t fits = 1024 - (20 + 10 + 19 + 432 + 14);
  for (size_t tables : {fits, fits + 1}) {
    Bytes packet = MainHeader(0, 1, 255, 40, 30);
    packet.insert(packet.end(), {0, 0, uint8_t(tables >> 8), uint8_t(tables)});
    packet.insert(packet.end(), tables, 0x10);
    std::vector<uint8_t> area(CJpegRTPMediaParser::kHeaderAreaSize + 16, 0xEE);
    size_t length = 0, consumed = 0;
    const bool ok = CJpegRTPMediaParser::PrepareJpegHeader(packet.data(), packet.size(), area.data(), &length, &consumed);
    EXPECT_EQ(ok, tables == fits);
    if (ok) {
      EXPECT_EQ(length, 1024u);
      EXPECT_EQ(consumed, 12 + tables);
    }
    for (size_t i = CJpegRTPMediaParser::kHeaderAreaSize; i < area.size(); ++i) ASSERT_EQ(area[i], 0xEE);
  }
}

}  // namespace
}  // namespace test
}  // namespace telvora
