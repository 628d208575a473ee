// Multicast needs a route for 224.0.0.0/4, which a test must not add to the
// machine it runs on. The test makes a network namespace with that route on
// its loopback and runs its receiving half in there, by starting this very
// executable again through "ip netns exec".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/module.h"
#include "rtp/rtcp_handler.h"
#include "rtp/rtp_receiver.h"
#include "rtp/udp_peer.h"
#include "support/fake_driver.h"
#include "support/wait_until.h"

namespace telvora {
namespace {

using std::chrono::milliseconds;

constexpr const char* kChildVariable = "ORVALEN_RTP_NETNS_CHILD";
constexpr const char* kGroup = "239.255.42.1";
constexpr unsigned short kPort = 5004;

class CollectingUser : public IRTPReceiverUser {
 public:
  void PacketReceived(const sockaddr*, CRTPPacket& packet) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sequences.push_back(packet.GetSequenceNumber());
  }
  void ReceiverTimeout() override {}
  void ReceiverClosed() override {}
  std::vector<uint16_t> Sequences() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sequences;
  }

 private:
  std::mutex m_mutex;
  std::vector<uint16_t> m_sequences;
};

// Runs inside the namespace.
void ReceiveFromTheGroup() {
  test::FakeDriver log;
  CollectingUser user;
  CRTPReceiver receiver(&log);
  receiver.SetUser(&user);
  ASSERT_TRUE(receiver.OpenMulticast(kGroup, kPort)) << "joining " << kGroup << " failed";

  CRTCPHandler rtcp(&log);
  ASSERT_TRUE(rtcp.OpenMulticast(inet_addr("127.0.0.1"), kGroup, kPort + 1));
  // Another stream on the same port, but another group, hears nothing of it.
  CollectingUser otherUser;
  CRTPReceiver other(&log);
  other.SetUser(&otherUser);
  ASSERT_TRUE(other.OpenMulticast("239.255.42.2", kPort));

  test::UdpPeer camera("127.0.0.1");
  for (uint16_t s = 0; s < 20; ++s) ASSERT_TRUE(camera.SendTo(kPort, test::MakeRtp(s, 0, 7, 500), kGroup));
  test::WaitUntil([&] { return user.Sequences().size() >= 20; });
  std::vector<uint16_t> expected;
  for (uint16_t s = 0; s < 20; ++s) expected.push_back(s);
  EXPECT_EQ(user.Sequences(), expected);
  other.Close();
  EXPECT_EQ(otherUser.Sequences().size(), 0u) << "packets of another group";

  // A sender report to the group is answered to the camera itself.
  const std::vector<uint8_t> sr = {0x80, 200, 0, 6, 1, 2, 3, 4, 0, 0, 5, 6, 7, 8, 0, 0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(camera.SendTo(kPort + 1, sr, kGroup));
  std::vector<uint8_t> rr;
  ASSERT_TRUE(camera.Receive(&rr, 2000)) << "no receiver report for a multicast sender report";
  EXPECT_EQ(rr.size(), 32u);

  // Leaving the group and joining again works on the same port.
  receiver.Close();
  ASSERT_TRUE(receiver.OpenMulticast(kGroup, kPort));
  receiver.Close();
  rtcp.Close();
}

bool RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

TEST(Multicast, ReceivesFromAGroupInsideANetworkNamespace) {
  if (std::getenv(kChildVariable) != nullptr) {
    ReceiveFromTheGroup();
    return;
  }
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) GTEST_SKIP() << "no /proc/self/exe, so no network namespace to run the multicast half in";
  if (!RunQuietly("ip netns list"))
    GTEST_SKIP() << "the ip tool (iproute2) cannot list network namespaces here; multicast is not tested";

  uint8_t id[16];
  platform::CreateRandomId(id);
  char name[32];
  std::snprintf(name, sizeof(name), "orvrtp%02x%02x%02x%02x", id[0], id[1], id[2], id[3]);
  if (!RunQuietly(std::string("ip netns add ") + name))
    GTEST_SKIP() << "cannot create a network namespace (needs root or CAP_SYS_ADMIN); multicast is not tested";
  const std::string inside = std::string("ip netns exec ") + name + " ";
  const bool ready = RunQuietly(inside + "ip link set lo up") && RunQuietly(inside + "ip route add 224.0.0.0/4 dev lo");

  const std::filesystem::path output = std::filesystem::temp_directory_path() / (std::string(name) + ".log");
  int status = -1;
  if (ready) {
    // Bounded: the child is killed if it hangs.
    const std::string command = "timeout 60 " + inside + "env " + kChildVariable + "=1 '" + self.string() +
                                "' --gtest_filter=Multicast.ReceivesFromAGroupInsideANetworkNamespace > '" +
                                output.string() + "' 2>&1";
    status = std::system(command.c_str());
  }
  RunQuietly(std::string("ip netns delete ") + name);
  if (!ready) GTEST_SKIP() << "the namespace could not get a loopback with a multicast route";

  std::ifstream log(output);
  std::stringstream text;
  text << log.rdbuf();
  std::filesystem::remove(output, error);
  EXPECT_EQ(status, 0) << "the receiving half failed inside the namespace:\n" << text.str();
}

}  // namespace
}  // namespace telvora
