#include "rtp/rtp_receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rtp/udp_client.h"
#include "rtp/udp_peer.h"
#include "support/fake_driver.h"
#include "support/wait_until.h"

namespace telvora {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Records sequence numbers; can be held inside the callback.
class QueueUser : public IRTPReceiverUser {
 public:
  void PacketReceived(const sockaddr*, CRTPPacket& packet) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_sequences.push_back(packet.GetSequenceNumber());
    m_payloadBytes += packet.GetPayloadLength();
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_blocked; });
    if (packet.GetSequenceNumber() == m_throwOn) throw std::runtime_error("user failure");
  }
  void ReceiverTimeout() override { ++m_timeouts; }
  void ReceiverClosed() override { ++m_closed; }

  void Block() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocked = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocked = false;
    m_changed.notify_all();
  }
  bool WaitForCount(size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_sequences.size() >= count; });
  }
  std::vector<uint16_t> Sequences() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sequences;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sequences.size();
  }
  void SetThrowOn(int sequence) { m_throwOn = sequence; }

  std::atomic<int> m_timeouts{0};
  std::atomic<int> m_closed{0};

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<uint16_t> m_sequences;
  uint64_t m_payloadBytes = 0;
  bool m_blocked = false;
  std::atomic<int> m_throwOn{-1};
};

std::vector<uint16_t> Range(uint16_t first, size_t count) {
  std::vector<uint16_t> out;
  for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint16_t>(first + i));
  return out;
}

class RtpReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { m_receiver.SetUser(&m_user); }
  void TearDown() override {
    m_user.Release();
    m_receiver.Close();
  }
  bool Send(uint16_t sequence, size_t payload = 100) {
    return m_peer.SendTo(m_receiver.GetPort(), test::MakeRtp(sequence, sequence * 3000u, 0x11223344, payload));
  }

  test::FakeDriver m_log;
  QueueUser m_user;
  CRTPReceiver m_receiver{&m_log};
  test::UdpPeer m_peer;
};

TEST_F(RtpReceiverTest, DeliversParsedPacketsInOrderAndDropsMalformedOnes) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  const unsigned short port = m_receiver.GetPort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(m_receiver.GetThreadName(), "RTP Packet Queue (" + std::to_string(port) + ")");
  ASSERT_TRUE(Send(1));
  ASSERT_TRUE(m_peer.SendTo(port, std::vector<uint8_t>(12, 0x80)));  // header only
  ASSERT_TRUE(m_peer.SendTo(port, {0x40, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 1}));  // version 1
  ASSERT_TRUE(Send(2));
  ASSERT_TRUE(m_user.WaitForCount(2, milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(m_user.Sequences(), (std::vector<uint16_t>{1, 2}));
}

TEST_F(RtpReceiverTest, PacketsArrivingDuringTheCallbackFollowInOrder) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  m_user.Block();
  ASSERT_TRUE(Send(10));
  ASSERT_TRUE(m_user.WaitForCount(1, milliseconds(2000)));
  for (uint16_t s = 11; s <= 20; ++s) ASSERT_TRUE(Send(s));
  test::WaitUntil([&] { return m_receiver.GetQueuedPackets() >= 10; }, milliseconds(2000));
  ASSERT_EQ(m_receiver.GetQueuedPackets(), 10u);
  m_user.Release();
  // No further datagram arrives to signal the data event: the queue must
  // drain by itself.
  ASSERT_TRUE(m_user.WaitForCount(11, milliseconds(2000)));
  EXPECT_EQ(m_user.Sequences(), Range(10, 11));
}

// Datagrams that overtook each other go out in sequence order; a copy, or
// one that comes after its turn, is dropped; a packet that never comes
// holds the others back only briefly.
TEST_F(RtpReceiverTest, ReorderWindowPutsPacketsBackInOrder) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  m_user.Block();  // everything below waits in the queue
  ASSERT_TRUE(Send(1));
  ASSERT_TRUE(m_user.WaitForCount(1, milliseconds(2000)));
  for (uint16_t s : {3, 2, 5, 4, 4, 7, 8, 1}) ASSERT_TRUE(Send(s));  // 6 lost
  test::WaitUntil([&] { return m_receiver.GetQueuedPackets() >= 6; }, milliseconds(2000));
  m_user.Release();
  ASSERT_TRUE(m_user.WaitForCount(7, milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(m_user.Sequences(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 7, 8}));
  EXPECT_EQ(m_receiver.GetDiscardedPackets(), 2u);
}

TEST_F(RtpReceiverTest, ThrowingUserLosesOnlyThatPacket) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  m_user.SetThrowOn(2);
  for (uint16_t s = 1; s <= 4; ++s) ASSERT_TRUE(Send(s));
  ASSERT_TRUE(m_user.WaitForCount(4, milliseconds(2000)));
  EXPECT_EQ(m_user.Sequences(), Range(1, 4));
}

TEST_F(RtpReceiverTest, HundredThousandPacketsInBurstsArriveInOrder) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  constexpr size_t kTotal = 100000;
  constexpr size_t kBurst = 32;
  size_t sent = 0;
  while (sent < kTotal) {
    for (size_t i = 0; i < kBurst && sent < kTotal; ++i, ++sent)
      ASSERT_TRUE(Send(static_cast<uint16_t>(sent), 200));
    ASSERT_TRUE(m_user.WaitForCount(sent, milliseconds(5000))) << "stalled after " << m_user.Count() << " of " << sent;
  }
  const std::vector<uint16_t> got = m_user.Sequences();
  ASSERT_EQ(got.size(), kTotal);
  for (size_t i = 0; i < kTotal; ++i) ASSERT_EQ(got[i], static_cast<uint16_t>(i)) << "at " << i;
  EXPECT_EQ(m_receiver.GetDroppedPackets(), 0u);
  EXPECT_FALSE(m_log.Logs().Contains("overflowed"));
}

// Which queued packets wake a waiting delivery thread. Packets are written
// as their timestamp, M for a marker, + for a queue at the wake depth.
TEST(RtpReceiverWakeRule, WakesForWhatCanEndAFrame) {
  struct Row {
    const char* packets;
    bool framesEndAtMarker;
    const char* wakes;
  };
  const Row rows[] = {
      {"1 1 1M 2 2 2M 3", true, "W.W..W."},   // frames out at their marker: a frame's start wakes nobody
      {"1 1 1M 2 2 2M 3", false, "W.WW.WW"},  // a user that holds a frame until the next one begins
      {"1 1 2 2 3", true, "W.W.W"},           // no markers: the next timestamp ends a frame
      {"1 1+ 1+ 1", true, "WWW."},            // a deep queue wakes in mid-frame
  };
  for (const Row& row : rows) {
    CRTPReceiver::WakeRule rule;
    std::string wakes;
    std::istringstream in(row.packets);
    std::string word;
    for (uint16_t sequence = 0; in >> word; ++sequence) {
      const bool marker = word.find('M') != std::string::npos;
      const size_t queued = word.find('+') != std::string::npos ? CRTPReceiver::kWakeDepth : 1;
      CRTPPacket packet;
      ASSERT_TRUE(packet.Parse(test::MakeRtp(sequence, std::stoul(word), 1, 10, marker).data(), 22));
      wakes += rule.Queued(packet, queued, row.framesEndAtMarker) ? 'W' : '.';
    }
    EXPECT_EQ(wakes, row.wakes) << row.packets;
  }
}

struct FloodCase {
  const char* name;
  size_t payload;
  bool byBytes;  // which bound the payload size reaches first
};

class RtpReceiverFlood : public RtpReceiverTest, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(RtpReceiverFlood, StaysWithinItsBoundAndClosesInTime) {
  const FloodCase& c = GetParam();
  // However slow the machine, the episode is reported when it ends, not before.
  m_receiver.SetOverflowReportInterval(600000);
  ASSERT_TRUE(m_receiver.Open(false, 0));
  const unsigned short port = m_receiver.GetPort();
  m_user.Block();

  std::atomic<bool> sending{true};
  auto flood = [&] {
    test::UdpPeer peer;
    uint16_t sequence = 0;
    while (sending) peer.SendTo(port, test::MakeRtp(sequence++, 0, 1, c.payload));
  };
  std::thread sender(flood);
  size_t maxPackets = 0;
  size_t maxBytes = 0;
  const auto until = steady_clock::now() + milliseconds(20000);
  while (steady_clock::now() < until && m_receiver.GetDroppedPackets() < 2000) {
    maxPackets = std::max(maxPackets, m_receiver.GetQueuedPackets());
    maxBytes = std::max(maxBytes, m_receiver.GetQueuedBytes());
    std::this_thread::sleep_for(milliseconds(1));
  }
  sending = false;
  sender.join();
  maxPackets = std::max(maxPackets, m_receiver.GetQueuedPackets());
  maxBytes = std::max(maxBytes, m_receiver.GetQueuedBytes());

  ASSERT_GE(m_receiver.GetDroppedPackets(), 2000u) << "the flood never filled the queue";
  EXPECT_LE(maxPackets, CRTPReceiver::kMaxQueuedPackets);
  EXPECT_LE(maxBytes, CRTPReceiver::kMaxQueuedBytes);
  if (c.byBytes)
    EXPECT_GT(maxBytes, CRTPReceiver::kMaxQueuedBytes - 2 * c.payload);
  else
    EXPECT_EQ(maxPackets, CRTPReceiver::kMaxQueuedPackets);
  EXPECT_FALSE(m_log.Logs().Contains("overflowed")) << "the episode is not over yet";

  // The user catches up: one line for the whole episode, with its count.
  m_user.Release();
  test::WaitUntil([&] { return m_receiver.GetQueuedPackets() == 0; }, milliseconds(10000));
  ASSERT_TRUE(m_log.Logs().WaitFor("overflowed", milliseconds(2000)));
  const std::string expected = "The RTP packet queue of device 127.0.0.1:554 overflowed; " +
                               std::to_string(m_receiver.GetDroppedPackets()) + " packets were dropped";
  EXPECT_EQ(m_log.Logs().CountAtLevel(2, expected), 1u) << "wanted: " << expected;
  EXPECT_EQ(m_log.Logs().Count("overflowed"), 1u);

  // The newest packets survived: what was delivered last is the flood's end.
  const std::vector<uint16_t> got = m_user.Sequences();
  ASSERT_FALSE(got.empty());
  for (size_t i = 2; i < got.size(); ++i) ASSERT_NE(got[i], got[i - 1]) << "duplicate at " << i;

  // Close while the port is still being flooded.
  sending = true;
  std::thread again(flood);
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = steady_clock::now();
  m_receiver.Close();
  const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
  sending = false;
  again.join();
  EXPECT_LT(took, 8000) << "the UDP client's 6000 ms plus the queue's 2000 ms";
  EXPECT_EQ(m_receiver.GetQueuedPackets(), 0u);
  EXPECT_FALSE(m_log.Logs().Contains("was not stopped"));
  std::printf("flood of %zu-byte payloads: %llu dropped, at most %zu packets / %zu bytes queued, close took %lld ms\n",
              c.payload, static_cast<unsigned long long>(m_receiver.GetDroppedPackets()), maxPackets, maxBytes,
              static_cast<long long>(took));
}

const FloodCase kFloods[] = {
    {"packet_bound", 1400, false},
    {"byte_bound", 30000, true},
};

INSTANTIATE_TEST_SUITE_P(Bounds, RtpReceiverFlood, ::testing::ValuesIn(kFloods),
                         [](const ::testing::TestParamInfo<FloodCase>& info) { return std::string(info.param.name); });

TEST_F(RtpReceiverTest, LongOverflowIsReportedWhileItLastsAndNothingIsMiscounted) {
  m_receiver.SetOverflowReportInterval(200);
  ASSERT_TRUE(m_receiver.Open(false, 0));
  const unsigned short port = m_receiver.GetPort();
  m_user.Block();
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    test::UdpPeer peer;
    uint16_t sequence = 0;
    while (sending) {
      peer.SendTo(port, test::MakeRtp(sequence++, 0, 1, 1400));
      if (sequence % 64 == 0) std::this_thread::sleep_for(milliseconds(1));
    }
  });
  const bool reported = m_log.Logs().WaitFor("overflowed", milliseconds(10000));
  test::WaitUntil([&] { return m_log.Logs().Count("overflowed") >= 2; }, milliseconds(5000));
  sending = false;
  sender.join();
  ASSERT_TRUE(reported) << "a user stuck for good left the operator without a line";
  EXPECT_GE(m_log.Logs().Count("overflowed"), 2u);
  m_user.Release();
  m_receiver.Close();

  uint64_t sum = 0;
  for (const auto& line : m_log.Logs().Lines()) {
    const size_t at = line.second.find("overflowed; ");
    if (at == std::string::npos) continue;
    EXPECT_EQ(line.first, 2);
    sum += std::stoull(line.second.substr(at + 12));
  }
  EXPECT_EQ(sum, m_receiver.GetDroppedPackets());
}

TEST_F(RtpReceiverTest, ReopenOnTheSamePortIgnoresTheEarlierClient) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  const unsigned short port = m_receiver.GetPort();
  m_user.Block();
  for (uint16_t s = 1; s <= 5; ++s) ASSERT_TRUE(Send(s));
  ASSERT_TRUE(m_user.WaitForCount(1, milliseconds(2000)));
  // 2..5 are queued behind the blocked user when the receiver closes.
  std::thread releaser([&] {
    std::this_thread::sleep_for(milliseconds(200));
    m_user.Release();
  });
  m_receiver.Close();
  releaser.join();

  ASSERT_TRUE(m_receiver.Open(false, port));
  ASSERT_EQ(m_receiver.GetPort(), port);
  // A stale client (say, the previous one's thread still finishing) calls in.
  CUDPClient stale(&m_log);
  const std::vector<uint8_t> old = test::MakeRtp(6, 0, 1, 10);
  sockaddr_in from;
  std::memset(&from, 0, sizeof(from));
  from.sin_family = AF_INET;
  m_receiver.DataReceived(&stale, reinterpret_cast<const sockaddr*>(&from), old.data(), static_cast<int>(old.size()));
  for (uint16_t s = 100; s <= 104; ++s) ASSERT_TRUE(m_peer.SendTo(port, test::MakeRtp(s, 0, 1, 10)));
  ASSERT_TRUE(m_user.WaitForCount(6, milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(m_user.Sequences(), (std::vector<uint16_t>{1, 100, 101, 102, 103, 104}));
}

TEST_F(RtpReceiverTest, KeepingAClientNeedsOne) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  const unsigned short port = m_receiver.GetPort();
  // Close() releases the client, so there is none left to keep.
  m_receiver.Close();
  EXPECT_FALSE(m_receiver.Open(true, port));
  EXPECT_FALSE(m_receiver.IsRunning());
  ASSERT_TRUE(m_receiver.Open(false, port));
  ASSERT_TRUE(Send(7));
  ASSERT_TRUE(m_user.WaitForCount(1, milliseconds(2000)));
}

TEST_F(RtpReceiverTest, OpenOnABusyPortFailsCleanly) {
  test::UdpPeer holder("0.0.0.0");
  EXPECT_FALSE(m_receiver.Open(false, holder.Port()));
  EXPECT_EQ(m_receiver.GetPort(), 0);
  EXPECT_FALSE(m_receiver.IsRunning());
  EXPECT_FALSE(m_receiver.OpenMulticast("no group", 0));
  EXPECT_FALSE(m_receiver.IsRunning());
}

TEST_F(RtpReceiverTest, ForwardsTimeoutAndClose) {
  ASSERT_TRUE(m_receiver.Open(false, 0));
  test::WaitUntil([&] { return m_user.m_timeouts.load() != 0; }, milliseconds(4000));
  EXPECT_GE(m_user.m_timeouts.load(), 1);
  // Closing the client is reported, once, even when the receiver asked for it.
  m_receiver.Close();
  EXPECT_EQ(m_user.m_closed.load(), 1);
  m_receiver.Close();
  EXPECT_EQ(m_user.m_closed.load(), 1);
}

}  // namespace
}  // namespace telvora
