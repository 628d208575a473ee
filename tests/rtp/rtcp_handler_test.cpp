#include "rtp/rtcp_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "rtp/udp_peer.h"
#include "support/fake_driver.h"

namespace telvora {
namespace {

using std::chrono::milliseconds;

std::atomic<uint32_t> g_fakeNow{1000000};
uint32_t FakeClock() { return g_fakeNow.load(); }

uint32_t Read32(const std::vector<uint8_t>& d, size_t at) {
  return (uint32_t(d[at]) << 24) | (uint32_t(d[at + 1]) << 16) | (uint32_t(d[at + 2]) << 8) | d[at + 3];
}

// A sender report without report blocks: 28 bytes. The middle of the NTP
// timestamp (bytes 10-13) becomes 0x5566_7788.
std::vector<uint8_t> MakeSr(uint32_t ssrc = 0xA1B2C3D4) {
  return {0x80, 200, 0, 6,                                        // V=2, RC=0, SR, 6 words follow
          uint8_t(ssrc >> 24), uint8_t(ssrc >> 16), uint8_t(ssrc >> 8), uint8_t(ssrc),
          0x11, 0x22, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,       // NTP timestamp
          0, 0, 0x10, 0,                                         // RTP timestamp
          0, 0, 0, 5,                                            // packet count
          0, 0, 1, 0};                                           // octet count
}
std::vector<uint8_t> MakeBye() { return {0x81, 203, 0, 1, 0xA1, 0xB2, 0xC3, 0xD4}; }
std::vector<uint8_t> MakeSdes() {
  return {0x81, 202, 0, 3, 0xA1, 0xB2, 0xC3, 0xD4, 1, 3, 'c', 'a', 'm', 0, 0, 0};
}
std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class EndCounter : public IRTCPHandlerUser {
 public:
  void StreamEnded() override { ++m_ended; }
  std::atomic<int> m_ended{0};
};

class RtcpHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_handler.SetUser(&m_user);
    ASSERT_TRUE(m_device.IsOpen());
  }
  void TearDown() override {
    m_handler.Close();
    // Nothing in these exchanges is worth a warning.
    for (const auto& line : m_log.Logs().Lines()) EXPECT_GT(line.first, 2) << line.second;
  }
  bool OpenOnFreePort() {
    m_handler.SetClock(&FakeClock);
    return m_handler.Open(inet_addr("127.0.0.1"), 0) && m_handler.GetPort() != 0;
  }
  bool DeviceSends(const std::vector<uint8_t>& data) { return m_device.SendTo(m_handler.GetPort(), data); }
  bool ExpectSilence(unsigned ms = 300) {
    std::vector<uint8_t> got;
    return !m_device.Receive(&got, ms);
  }

  test::FakeDriver m_log;
  EndCounter m_user;
  CRTCPHandler m_handler{&m_log};
  test::UdpPeer m_device{"127.0.0.1"};
};

TEST_F(RtcpHandlerTest, SenderReportIsAnsweredWithOneReceiverReport) {
  ASSERT_TRUE(OpenOnFreePort());
  EXPECT_EQ(m_handler.GetThreadName(), "RTCP Handler Thread");
  for (uint16_t s : {65534, 65535, 0, 1}) m_handler.NotePacket(s);
  ASSERT_TRUE(DeviceSends(MakeSr()));

  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000)) << "no receiver report came back to the sender's address";
  ASSERT_EQ(rr.size(), 32u);
  uint8_t own[4];
  m_handler.GetOwnSsrc(own);
  EXPECT_EQ(rr[0], 0x81) << "version 2, one report block";
  EXPECT_EQ(rr[1], 201);
  EXPECT_EQ((rr[2] << 8) | rr[3], 7);
  EXPECT_EQ(0, std::memcmp(&rr[4], own, 4));
  EXPECT_EQ(Read32(rr, 8), 0xA1B2C3D4u) << "reported SSRC";
  EXPECT_EQ(Read32(rr, 12), 0u) << "fraction and cumulative loss";
  EXPECT_EQ(Read32(rr, 16), 65537u) << "extended highest sequence after a wrap";
  EXPECT_EQ(Read32(rr, 20), 0u) << "jitter";
  EXPECT_EQ(Read32(rr, 24), 0x55667788u) << "last SR";
  EXPECT_EQ(Read32(rr, 28), 0u) << "the fake clock did not move";
  EXPECT_TRUE(ExpectSilence()) << "exactly one report per SR";
  EXPECT_TRUE(m_handler.IsReporting());
}

TEST_F(RtcpHandlerTest, DelaySinceLastSrCountsInSixtyFifthThousandths) {
  ASSERT_TRUE(OpenOnFreePort());
  ASSERT_TRUE(DeviceSends(MakeSr()));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000));
  g_fakeNow += 1500;
  unsigned char report[32];
  m_handler.BuildReceiverReport(report);
  EXPECT_EQ(Read32(std::vector<uint8_t>(report, report + 32), 28), 98304u);
}

TEST_F(RtcpHandlerTest, DelaySinceLastSrWithTheSystemClock) {
  m_handler.SetClock(nullptr);
  ASSERT_TRUE(m_handler.Open(inet_addr("127.0.0.1"), 0));
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(DeviceSends(MakeSr()));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000));
  const auto answered = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(milliseconds(1500));
  const auto before = std::chrono::steady_clock::now();
  unsigned char report[32];
  m_handler.BuildReceiverReport(report);
  const auto after = std::chrono::steady_clock::now();
  // The SR arrived between sending it and seeing the answer; a loaded
  // machine may oversleep, so the bounds come from what really passed.
  const double low = std::chrono::duration<double>(before - answered).count() * 65536.0;
  const double high = std::chrono::duration<double>(after - sent).count() * 65536.0;
  const double delay = Read32(std::vector<uint8_t>(report, report + 32), 28);
  EXPECT_GE(delay, low * 0.98 - 66);
  EXPECT_LE(delay, high * 1.02 + 66);
  EXPECT_NEAR(delay, 98304.0, 98304.0 * 0.10);
}

TEST_F(RtcpHandlerTest, CloseAfterAnSrSendsOneGoodbye) {
  ASSERT_TRUE(OpenOnFreePort());
  ASSERT_TRUE(DeviceSends(MakeSr()));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000));
  uint8_t own[4];
  m_handler.GetOwnSsrc(own);
  m_handler.Close();
  const auto after = m_device.ReceiveAll(300);
  ASSERT_EQ(after.size(), 1u);
  const std::vector<uint8_t>& bye = after[0];
  ASSERT_EQ(bye.size(), 8u);
  EXPECT_EQ(bye[0], 0x81);
  EXPECT_EQ(bye[1], 203);
  EXPECT_EQ((bye[2] << 8) | bye[3], 1);
  EXPECT_EQ(0, std::memcmp(&bye[4], own, 4));
}

TEST_F(RtcpHandlerTest, CloseWithoutAnSrSendsNothing) {
  ASSERT_TRUE(OpenOnFreePort());
  m_handler.NotePacket(5);
  ASSERT_TRUE(DeviceSends(MakeSdes()));
  ASSERT_TRUE(DeviceSends(MakeBye()));
  EXPECT_TRUE(ExpectSilence(200));
  m_handler.Close();
  EXPECT_TRUE(ExpectSilence(200));
  EXPECT_EQ(m_user.m_ended.load(), 0) << "a BYE before any SR is ignored";
}

TEST_F(RtcpHandlerTest, DeviceGoodbyeEndsTheStreamOnce) {
  ASSERT_TRUE(OpenOnFreePort());
  ASSERT_TRUE(DeviceSends(MakeSr()));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000));
  ASSERT_TRUE(DeviceSends(MakeBye()));
  ASSERT_TRUE(DeviceSends(MakeBye()));
  ASSERT_TRUE(DeviceSends(Join(MakeSdes(), MakeBye())));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(m_user.m_ended.load(), 1);
  EXPECT_FALSE(m_handler.IsReporting());
  m_handler.Close();
  EXPECT_TRUE(ExpectSilence(200)) << "no goodbye of ours once the device said goodbye";
}

TEST_F(RtcpHandlerTest, RtcpFromAnotherAddressIsIgnored) {
  ASSERT_TRUE(OpenOnFreePort());
  test::UdpPeer stranger("127.0.0.2");
  ASSERT_TRUE(stranger.IsOpen());
  // Some socket layers (Wine's) send from 127.0.0.1 whatever was bound.
  std::vector<uint8_t> got;
  sockaddr_in source;
  ASSERT_TRUE(stranger.SendTo(m_device.Port(), {1}));
  ASSERT_TRUE(m_device.Receive(&got, 2000, &source));
  if (source.sin_addr.s_addr != inet_addr("127.0.0.2"))
    GTEST_SKIP() << "this system does not send from a second loopback address, so no stranger can be played";
  ASSERT_TRUE(stranger.SendTo(m_handler.GetPort(), MakeSr()));
  EXPECT_FALSE(stranger.Receive(&got, 300)) << "answered a stranger";
  EXPECT_FALSE(m_handler.IsReporting());

  ASSERT_TRUE(DeviceSends(MakeSr()));
  ASSERT_TRUE(m_device.Receive(&got, 2000));
  ASSERT_TRUE(stranger.SendTo(m_handler.GetPort(), MakeBye()));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(m_user.m_ended.load(), 0) << "a stranger's BYE ended the stream";
  EXPECT_TRUE(m_handler.IsReporting());
}

TEST_F(RtcpHandlerTest, CompoundSrAndSdesGivesOneReport) {
  ASSERT_TRUE(OpenOnFreePort());
  ASSERT_TRUE(DeviceSends(Join(MakeSr(), MakeSdes())));
  const auto reports = m_device.ReceiveAll(400);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].size(), 32u);
}

TEST_F(RtcpHandlerTest, MalformedRtcpIsIgnoredAndDoesNotDisturb) {
  ASSERT_TRUE(OpenOnFreePort());
  std::vector<uint8_t> claimsMore = MakeSr();
  claimsMore[3] = 7;  // one word more than present
  const std::vector<std::vector<uint8_t>> bad = {
      {0x80},
      {0x80, 200, 0},
      {0x80, 200, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8},  // SR of 12 bytes: too short to use
      claimsMore,
      {0x80, 200, 0xFF, 0xFF},
  };
  for (const auto& d : bad) ASSERT_TRUE(DeviceSends(d));
  std::mt19937 random(4);
  for (int i = 0; i < 500; ++i) {
    std::vector<uint8_t> noise(random() % 80);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    if (noise.size() > 1) noise[1] = static_cast<uint8_t>(200 + random() % 4);
    ASSERT_TRUE(DeviceSends(noise));
  }
  // Whatever the noise did, a real SR afterwards is still answered.
  std::this_thread::sleep_for(milliseconds(100));
  m_device.ReceiveAll(100);
  ASSERT_TRUE(DeviceSends(MakeSr()));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000));
  EXPECT_EQ(rr.size(), 32u);
}

TEST_F(RtcpHandlerTest, OpenRefusesAZeroAddressAndASecondOpen) {
  EXPECT_FALSE(m_handler.Open(0, 0));
  ASSERT_TRUE(m_handler.Open(inet_addr("127.0.0.1"), 0));
  EXPECT_FALSE(m_handler.Open(inet_addr("127.0.0.1"), 0));
  m_handler.Close();
  ASSERT_TRUE(m_handler.Open(inet_addr("127.0.0.1"), 0));
}

TEST_F(RtcpHandlerTest, ReopenStartsAFreshSourceAndSequence) {
  ASSERT_TRUE(OpenOnFreePort());
  m_handler.NotePacket(40000);
  uint8_t first[4];
  m_handler.GetOwnSsrc(first);
  m_handler.Close();
  ASSERT_TRUE(OpenOnFreePort());
  uint8_t second[4];
  m_handler.GetOwnSsrc(second);
  EXPECT_NE(0, std::memcmp(first, second, 4));
  m_handler.NotePacket(7);
  ASSERT_TRUE(DeviceSends(MakeSr()));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(m_device.Receive(&rr, 2000));
  EXPECT_EQ(Read32(rr, 16), 7u);
}

struct SequenceCase {
  const char* name;
  std::vector<uint16_t> sequences;
  uint32_t extendedHighest;
};

const SequenceCase kSequenceCases[] = {
    {"nothing noted", {}, 0},
    {"wrap", {65534, 65535, 0, 1}, 65537},
    {"wrap then the old number again", {65535, 0, 65535, 0}, 65536},
    {"in order", {10, 11, 12}, 12},
    {"duplicate and late", {100, 101, 101, 99}, 101},
    {"small gap", {100, 2999 + 100}, 3099},
    {"large jump is not believed at once", {100, 5000}, 100},
    {"large jump followed up re-initialises", {100, 5000, 5001}, 5001},
    {"large jump not followed up", {100, 5000, 101}, 101},
    {"late beyond misorder window", {5000, 4899}, 5000},
    {"wrap then late packet from before it", {65535, 1, 65530}, 65537},
};

class SequenceTable : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTable, ExtendedHighestSequence) {
  CRTPSequenceTracker tracker;
  for (uint16_t s : GetParam().sequences) tracker.Note(s);
  EXPECT_EQ(tracker.GetExtendedHighest(), GetParam().extendedHighest);
}

INSTANTIATE_TEST_SUITE_P(Cases, SequenceTable, ::testing::ValuesIn(kSequenceCases),
                         [](const ::testing::TestParamInfo<SequenceCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

TEST(RtcpCompound, WalkStopsAtAPacketThatClaimsTooMuch) {
  const std::vector<uint8_t> data = Join(Join(MakeSr(), MakeSdes()), {0x81, 203, 0, 9, 1, 2, 3, 4});
  unsigned offset = 0;
  RTCP_PACKET_VIEW packet;
  std::vector<uint8_t> types;
  while (NextRtcpPacket(data.data(), static_cast<unsigned>(data.size()), &offset, &packet)) types.push_back(packet.type);
  EXPECT_EQ(types, (std::vector<uint8_t>{200, 202}));
  EXPECT_EQ(MillisecondsToRtcpDelay(1500), 98304u);
  EXPECT_EQ(MillisecondsToRtcpDelay(0xFFFFFFFFu), static_cast<uint32_t>(0xFFFFFFFFull * 65536 / 1000));
}

}  // namespace
}  // namespace telvora
