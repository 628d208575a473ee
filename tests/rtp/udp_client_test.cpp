#include "rtp/udp_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "rtp/udp_peer.h"
#include "support/wait_until.h"
#include "support/fake_driver.h"

namespace telvora {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class RecordingUser : public IRTPClientUser {
 public:
  void DataReceived(IRTPClient*, const sockaddr* from, const unsigned char* data, int length) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_datagrams.emplace_back(data, data + length);
    const sockaddr_in* source = reinterpret_cast<const sockaddr_in*>(from);
    m_lastSourcePort = ntohs(source->sin_port);
    m_changed.notify_all();
    if (m_throw) throw std::runtime_error("user failure");
  }
  void ReceiveTimeout(IRTPClient*) override { ++m_timeouts; }
  void ClientClosed(IRTPClient*) override { ++m_closed; }

  bool WaitForCount(size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_datagrams.size() >= count; });
  }
  std::vector<std::vector<uint8_t>> Datagrams() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams;
  }

  std::atomic<int> m_timeouts{0};
  std::atomic<int> m_closed{0};
  std::atomic<bool> m_throw{false};
  unsigned short m_lastSourcePort = 0;

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::vector<uint8_t>> m_datagrams;
};

class UdpClientTest : public ::testing::Test {
 protected:
  test::FakeDriver m_log;
  RecordingUser m_user;
};

TEST_F(UdpClientTest, ReceivesDatagramsWithTheirSource) {
  CUDPClient client(&m_log);
  ASSERT_TRUE(client.Open(&m_user, 0));
  const unsigned short port = client.GetPort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(client.GetThreadName(), "UDP client thread, port " + std::to_string(port));

  test::UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(port, {1, 2, 3}));
  ASSERT_TRUE(m_user.WaitForCount(1, milliseconds(2000)));
  EXPECT_EQ(m_user.Datagrams()[0], (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(m_user.m_lastSourcePort, peer.Port());

  EXPECT_TRUE(client.Close());
  EXPECT_EQ(client.GetPort(), 0);
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(m_user.m_closed.load(), 1);
}

TEST_F(UdpClientTest, OpenFailuresLeaveTheClientClosed) {
  CUDPClient client(&m_log);
  EXPECT_FALSE(client.Open(nullptr, 0));
  for (const char* group : {"", "not-an-address", "239.1.2.3.4", "256.1.1.1", "255.255.255.255"}) {
    EXPECT_FALSE(client.OpenMulticast(&m_user, group, 0)) << group;
    EXPECT_FALSE(client.IsOpen()) << group;
    EXPECT_EQ(client.GetPort(), 0) << group;
  }
  // The port is taken by a socket without SO_REUSEADDR.
  test::UdpPeer holder("0.0.0.0");
  EXPECT_FALSE(client.Open(&m_user, holder.Port()));
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(m_user.m_closed.load(), 0) << "nothing was open, so nothing was closed";
}

TEST_F(UdpClientTest, OpeningAnOpenClientFailsAndClosesIt) {
  CUDPClient client(&m_log);
  ASSERT_TRUE(client.Open(&m_user, 0));
  EXPECT_FALSE(client.Open(&m_user, 0));
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(m_user.m_closed.load(), 1);
  // And it opens again afterwards.
  ASSERT_TRUE(client.Open(&m_user, 0));
  EXPECT_TRUE(client.Close());
}

TEST_F(UdpClientTest, CloseOnAClosedClientDoesNotCallTheUser) {
  CUDPClient client(&m_log);
  EXPECT_TRUE(client.Close());
  ASSERT_TRUE(client.Open(&m_user, 0));
  EXPECT_TRUE(client.Close());
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(m_user.m_closed.load(), 1);
}

TEST_F(UdpClientTest, TimeoutSplitsIntoSecondsAndMicroseconds) {
  CUDPClient client(&m_log);
  EXPECT_EQ(client.GetTimeoutSeconds(), 2u);
  EXPECT_EQ(client.GetTimeoutMicroseconds(), 0u);
  client.SetTimeout(2500);
  EXPECT_EQ(client.GetTimeoutSeconds(), 2u);
  EXPECT_EQ(client.GetTimeoutMicroseconds(), 500000u);
}

TEST_F(UdpClientTest, ReportsTimeoutsWhileIdle) {
  CUDPClient client(&m_log);
  client.SetTimeout(50);
  ASSERT_TRUE(client.Open(&m_user, 0));
  EXPECT_TRUE(test::WaitUntil([&] { return m_user.m_timeouts.load() >= 3; }));
  client.Close();
}

// Cameras send RTP packets of any size up to the UDP limit: each arrives
// whole from the first one on, whatever buffer size was asked for.
TEST_F(UdpClientTest, DatagramsOfEverySizeArriveWholeFromTheFirst) {
  CUDPClient client(&m_log);
  client.SetBufferSize(1536);
  ASSERT_TRUE(client.Open(&m_user, 0));
  test::UdpPeer peer;
  const size_t kSizes[] = {1, 1536, 2000, 10000, 65507};  // 65507: the largest IPv4 UDP payload
  for (size_t i = 0; i < sizeof(kSizes) / sizeof(kSizes[0]); ++i) {
    const std::vector<uint8_t> datagram(kSizes[i], static_cast<uint8_t>(i + 1));
    ASSERT_TRUE(peer.SendTo(client.GetPort(), datagram));
    ASSERT_TRUE(m_user.WaitForCount(i + 1, milliseconds(2000))) << kSizes[i];
    EXPECT_EQ(m_user.Datagrams()[i], datagram) << kSizes[i];
  }
  EXPECT_FALSE(m_log.Logs().Contains("was lost"));
  client.Close();
}

TEST_F(UdpClientTest, ThrowingUserDoesNotStopReception) {
  CUDPClient client(&m_log);
  m_user.m_throw = true;
  ASSERT_TRUE(client.Open(&m_user, 0));
  test::UdpPeer peer;
  for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(peer.SendTo(client.GetPort(), {i}));
  ASSERT_TRUE(m_user.WaitForCount(5, milliseconds(2000)));
  client.Close();
}

// The socket buffer must hold a key frame's burst while the receive thread
// is busy: here the user holds the thread while 120 datagrams arrive.
TEST_F(UdpClientTest, SocketBufferAbsorbsAKeyFrameBurst) {
  class GateUser : public RecordingUser {
   public:
    void DataReceived(IRTPClient* c, const sockaddr* from, const unsigned char* data, int length) override {
      if (!m_entered.exchange(true)) {
        std::unique_lock<std::mutex> lock(m_gateMutex);
        m_gate.wait_for(lock, milliseconds(5000), [&] { return m_open; });
      }
      RecordingUser::DataReceived(c, from, data, length);
    }
    void Open() {
      std::lock_guard<std::mutex> lock(m_gateMutex);
      m_open = true;
      m_gate.notify_all();
    }
    std::atomic<bool> m_entered{false};

   private:
    std::mutex m_gateMutex;
    std::condition_variable m_gate;
    bool m_open = false;
  } user;
  CUDPClient client(&m_log);
  ASSERT_TRUE(client.Open(&user, 0));
  client.SetBufferSize(1536);
  test::UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(client.GetPort(), {0}));
  ASSERT_TRUE(test::WaitUntil([&] { return user.m_entered.load(); }));
  const std::vector<uint8_t> datagram(1400, 0x5A);
  for (int i = 0; i < 120; ++i) ASSERT_TRUE(peer.SendTo(client.GetPort(), datagram));
  user.Open();
  EXPECT_TRUE(user.WaitForCount(121, milliseconds(5000))) << user.Datagrams().size() << " of 121 arrived";
  client.Close();
}

TEST_F(UdpClientTest, SendToReachesThePeer) {
  CUDPClient client(&m_log);
  test::UdpPeer peer;
  sockaddr_in to;
  std::memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = peer.Address();
  to.sin_port = htons(peer.Port());
  const unsigned char data[] = {9, 8, 7};
  EXPECT_FALSE(client.SendTo(reinterpret_cast<const sockaddr*>(&to), data, 3)) << "closed";
  ASSERT_TRUE(client.Open(&m_user, 0));
  EXPECT_TRUE(client.SendTo(reinterpret_cast<const sockaddr*>(&to), data, 3));
  EXPECT_TRUE(client.SendTo(reinterpret_cast<const sockaddr*>(&to), data, 0));
  std::vector<uint8_t> got;
  ASSERT_TRUE(peer.Receive(&got, 2000));
  EXPECT_EQ(got, (std::vector<uint8_t>{9, 8, 7}));
  client.Close();
}

TEST_F(UdpClientTest, CloseIsPromptWhileDatagramsKeepArriving) {
  CUDPClient client(&m_log);
  ASSERT_TRUE(client.Open(&m_user, 0));
  const unsigned short port = client.GetPort();
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    test::UdpPeer peer;
    const std::vector<uint8_t> data(1000, 1);
    while (sending) peer.SendTo(port, data);
  });
  EXPECT_TRUE(m_user.WaitForCount(1, milliseconds(5000))) << "the datagrams flow";
  const auto start = steady_clock::now();
  EXPECT_TRUE(client.Close());
  const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
  sending = false;
  sender.join();
  EXPECT_LT(took.count(), 6000);
  EXPECT_FALSE(m_log.Logs().Contains("was not stopped"));
}

// An idle client closes at once, not after its time-out: a shutdown ends the
// wait inside recvfrom (Linux), a datagram to its own port the select
// (Winsock).
TEST_F(UdpClientTest, CloseOfAnIdleClientEndsTheWaitAtOnce) {
  CUDPClient client(&m_log);
  client.SetTimeout(2500);
  ASSERT_TRUE(client.Open(&m_user, 0));
  test::UdpPeer peer;
  peer.SendTo(client.GetPort(), std::vector<uint8_t>{1});
  ASSERT_TRUE(m_user.WaitForCount(1, milliseconds(5000)));  // the thread is in its loop
  const auto start = steady_clock::now();
  EXPECT_TRUE(client.Close());
  const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
  EXPECT_LT(took.count(), 1000);
  EXPECT_EQ(m_user.m_timeouts.load(), 0);
}

}  // namespace
}  // namespace telvora
