#include "rtp/rtp_packet.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace telvora {
namespace {

struct ParseCase {
  const char* name;
  std::vector<uint8_t> bytes;
  bool accepted;
  uint32_t payloadLength;
  uint8_t firstPayloadByte;  // checked when the payload is not empty
};

// Header fields used unless a case says otherwise: V=2, PT 96, seq 0x1234,
// timestamp 0x01020304, SSRC de ad be ef.
#define HDR(b0) b0, 0x60, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0xDE, 0xAD, 0xBE, 0xEF

const ParseCase kCases[] = {
    {"header only", {HDR(0x80)}, false, 0, 0},
    {"one payload byte", {HDR(0x80), 0x55}, true, 1, 0x55},
    {"version 1", {HDR(0x40), 0x55}, false, 0, 0},
    {"version 3", {HDR(0xC0), 0x55}, false, 0, 0},
    {"three bytes", {0x80, 0x60, 0x00}, false, 0, 0},
    // P bit; last byte counts the padding including itself.
    {"padding of 1", {HDR(0xA0), 0x11, 0x22, 0x01}, true, 2, 0x11},
    {"padding eats exactly the rest", {HDR(0xA0), 0x00, 0x00, 0x03}, true, 0, 0},
    {"padding larger than the rest", {HDR(0xA0), 0x00, 0x00, 0x04}, false, 0, 0},
    {"padding far beyond the datagram", {HDR(0xA0), 0xFF}, false, 0, 0},
    {"padding count 0", {HDR(0xA0), 0x11, 0x00}, true, 2, 0x11},
    // CC = 3 needs 12 bytes and something after them.
    {"3 CSRCs and nothing after", {HDR(0x83), 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}, false, 0, 0},
    {"3 CSRCs and one payload byte", {HDR(0x83), 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0x77}, true, 1, 0x77},
    {"15 CSRCs in a short datagram", {HDR(0x8F), 0, 0, 0, 1, 0x77}, false, 0, 0},
    // X bit: profile, length in words, data.
    {"extension of length 0", {HDR(0x90), 0xBE, 0xDE, 0x00, 0x00, 0x42}, true, 1, 0x42},
    {"extension of length 1", {HDR(0x90), 0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4, 0x42}, true, 1, 1 + 0x41},
    {"extension header cut short", {HDR(0x90), 0xBE, 0xDE, 0x00}, false, 0, 0},
    {"extension longer than the datagram", {HDR(0x90), 0xBE, 0xDE, 0x00, 0x02, 1, 2, 3, 4}, false, 0, 0},
    {"extension of length 0, no payload", {HDR(0x90), 0xBE, 0xDE, 0x00, 0x00}, true, 0, 0},
    {"CSRC, extension and padding", {HDR(0xB1), 0, 0, 0, 9, 0xBE, 0xDE, 0x00, 0x00, 0x42, 0x43, 0x02}, true, 1, 0x42},
    {"extension after CSRCs cut short", {HDR(0x91), 0, 0, 0, 9, 0xBE}, false, 0, 0},
};

class RtpParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RtpParseTable, AcceptsOrRefuses) {
  const ParseCase& c = GetParam();
  // Copied into an exact-size heap block, so that ASan sees any read past it.
  std::vector<uint8_t> exact(c.bytes);
  CRTPPacket packet;
  ASSERT_EQ(packet.Parse(exact.data(), static_cast<unsigned>(exact.size())), c.accepted);
  if (!c.accepted) return;
  EXPECT_EQ(packet.GetPayloadLength(), c.payloadLength);
  if (c.payloadLength == 0) {
    EXPECT_EQ(packet.GetPayload(), nullptr);
  } else {
    ASSERT_NE(packet.GetPayload(), nullptr);
    EXPECT_EQ(packet.GetPayload()[0], c.firstPayloadByte);
  }
  EXPECT_EQ(packet.GetSequenceNumber(), 0x1234);
  EXPECT_EQ(packet.GetTimestamp(), 0x01020304u);
  EXPECT_EQ(packet.GetPayloadType(), 96);
}

INSTANTIATE_TEST_SUITE_P(Cases, RtpParseTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ParseCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p)
                             name += (std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                           return name;
                         });

TEST(RtpPacket, SsrcStaysInWireOrderAndOtherFieldsInHostOrder) {
  const uint8_t bytes[] = {0x81, 0xE0, 0xAB, 0xCD, 0x11, 0x22, 0x33, 0x44, 0xDE, 0xAD, 0xBE, 0xEF,
                           0xCA, 0xFE, 0xBA, 0xBE, 0x99};
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(bytes, sizeof(bytes)));
  uint8_t ssrc[4];
  const uint32_t raw = packet.GetSsrc();
  std::memcpy(ssrc, &raw, 4);
  EXPECT_EQ(ssrc[0], 0xDE);
  EXPECT_EQ(ssrc[1], 0xAD);
  EXPECT_EQ(ssrc[2], 0xBE);
  EXPECT_EQ(ssrc[3], 0xEF);
  EXPECT_EQ(packet.GetSequenceNumber(), 0xABCD);
  EXPECT_EQ(packet.GetTimestamp(), 0x11223344u);
  EXPECT_TRUE(packet.GetMarker());
  EXPECT_EQ(packet.GetPayloadType(), 0x60);
  ASSERT_EQ(packet.GetCsrcCount(), 1);
  uint8_t csrc[4];
  std::memcpy(csrc, packet.GetCsrcList(), 4);
  EXPECT_EQ(csrc[0], 0xCA);
  EXPECT_EQ(csrc[3], 0xBE);
}

TEST(RtpPacket, ExtensionFieldsAndDataAreKept) {
  const uint8_t bytes[] = {HDR(0x90), 0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4, 0x42};
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(bytes, sizeof(bytes)));
  EXPECT_EQ(packet.GetExtensionProfile(), 0xBEDE);
  EXPECT_EQ(packet.GetExtensionLength(), 1);
  ASSERT_NE(packet.GetExtensionData(), nullptr);
  EXPECT_EQ(packet.GetExtensionData()[3], 4);
  EXPECT_EQ(packet.GetPayload()[0], 0x42);
}

TEST(RtpPacket, ReparseClearsTheEarlierPacket) {
  const uint8_t full[] = {HDR(0x91), 0, 0, 0, 9, 0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4, 0x42};
  const uint8_t plain[] = {HDR(0x80), 0x55};
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(full, sizeof(full)));
  ASSERT_TRUE(packet.Parse(plain, sizeof(plain)));
  EXPECT_EQ(packet.GetCsrcCount(), 0);
  EXPECT_EQ(packet.GetCsrcList(), nullptr);
  EXPECT_EQ(packet.GetExtensionLength(), 0);
  EXPECT_EQ(packet.GetExtensionData(), nullptr);
  EXPECT_EQ(packet.GetPayloadLength(), 1u);
  // The payload storage outlives a parse: each parse still reads only its
  // own payload, an empty one reads as none, a longer one grows it.
  const uint8_t longer[] = {HDR(0x80), 1, 2, 3, 4, 5, 6, 7, 8};
  const uint8_t paddingOnly[] = {HDR(0xA0), 0x00, 0x00, 0x03};
  ASSERT_TRUE(packet.Parse(longer, sizeof(longer)));
  EXPECT_EQ(std::vector<uint8_t>(packet.GetPayload(), packet.GetPayload() + packet.GetPayloadLength()),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_TRUE(packet.Parse(plain, sizeof(plain)));
  ASSERT_EQ(packet.GetPayloadLength(), 1u);
  EXPECT_EQ(packet.GetPayload()[0], 0x55);
  ASSERT_TRUE(packet.Parse(paddingOnly, sizeof(paddingOnly)));
  EXPECT_EQ(packet.GetPayload(), nullptr);
  ASSERT_TRUE(packet.Parse(plain, sizeof(plain)));
  EXPECT_FALSE(packet.Parse(nullptr, 20));
  EXPECT_EQ(packet.GetPayloadLength(), 0u);
  EXPECT_EQ(packet.GetPayload(), nullptr);
}

#undef HDR

}  // namespace
}  // namespace telvora
