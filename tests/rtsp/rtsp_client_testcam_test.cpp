// Sessions with GStreamer's RTSP server through the test camera.
#include <cstring>

#include "e2e_process.h"
#include "platform/sockets.h"
#include "rtsp_client_fixture.h"

#ifndef ORVALEN_TESTCAM_PATH
#define ORVALEN_TESTCAM_PATH ""
#endif

namespace telvora {
namespace test {
namespace {

class TestcamSession : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = ORVALEN_TESTCAM_PATH;
    if (path.empty() || !e2e::FileExists(path)) GTEST_SKIP() << "testcam is not built (GStreamer RTSP server missing)";
    ASSERT_TRUE(m_camera.Start({path, "--port", "0", "--auth", "digest", "--user", "admin", "--password", "secret",
                                "--protocols", "udp,tcp", "--fps", "25"},
                               m_dir.Path() + "/testcam"));
    const std::string line = m_camera.WaitForLine("ready ", 60000);
    ASSERT_FALSE(line.empty()) << m_camera.Stderr();
    const size_t colon = line.rfind(':');
    m_port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
  }
  void TearDown() override { m_camera.Stop(); }

  RTSP_CONNECTION_INFO Connection() {
    RTSP_CONNECTION_INFO c = LoopbackConnection(m_port, 5000);
    c.path = "/stream";
    c.userName = "admin";
    c.password = "secret";
    return c;
  }

  e2e::TempDir m_dir;
  e2e::ChildProcess m_camera;
  uint16_t m_port = 0;
};

SOCKET BoundUdp(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(a);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  *port = ntohs(a.sin_port);
  return s;
}

TEST_F(TestcamSession, DigestUdpReachesPlayAndPacketsArrive) {
  uint16_t rtpPort = 0, rtcpPort = 0;
  SOCKET rtp = BoundUdp(&rtpPort);
  SOCKET rtcp = BoundUdp(&rtcpPort);
  ASSERT_NE(rtp, INVALID_SOCKET);
  ASSERT_NE(rtcp, INVALID_SOCKET);
  RTSP_CONNECTION_INFO connection = Connection();
  connection.clientRtpPort = rtpPort;
  connection.clientRtcpPort = rtcpPort;
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
  int datagrams = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (datagrams < 20 && std::chrono::steady_clock::now() < end) {
    if (platform::WaitReadable(rtp, 100) != platform::kWaitReady) continue;
    unsigned char buffer[2048];
    const int n = platform::ReceiveFrom(rtp, buffer, sizeof(buffer), nullptr, nullptr);
    CRTPPacket packet;
    if (n > 0 && packet.Parse(buffer, static_cast<unsigned>(n)) && packet.GetPayloadType() == 96) ++datagrams;
  }
  EXPECT_GE(datagrams, 20) << m_camera.Stderr();
  EXPECT_EQ(user.Sdp().video.rtpmap, "H264/90000");
  EXPECT_FALSE(user.Sdp().parameterSet1.empty());
  EXPECT_TRUE(client.GetLastExchangeResult());
  EXPECT_LT(TimeMs([&] { client.Stop(); }), StopLimitMs(connection));
  EXPECT_EQ(user.ended.load(), 1);
  closesocket(rtp);
  closesocket(rtcp);
}

TEST_F(TestcamSession, DigestInterleavedDeliversPackets) {
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  const RTSP_CONNECTION_INFO connection = Connection();
  ASSERT_TRUE(client.Start(connection, &user, kTransportInterleaved));
  EXPECT_TRUE(user.WaitPackets(50, 10000)) << m_camera.Stderr();
  // Sequence numbers run on by one.
  const std::vector<uint16_t> seq = user.Sequences();
  ASSERT_GE(seq.size(), 2u);
  EXPECT_EQ(static_cast<uint16_t>(seq[1] - seq[0]), 1);
  EXPECT_LT(TimeMs([&] { client.Stop(); }), StopLimitMs(connection));
  EXPECT_EQ(user.ended.load(), 1);
}

TEST_F(TestcamSession, WrongPasswordIsRefused) {
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  RTSP_CONNECTION_INFO connection = Connection();
  connection.password = "wrong";
  ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
  EXPECT_TRUE(user.WaitEnded(5000));
  EXPECT_EQ(user.sdpCalls.load(), 0);
  client.Stop();
}

}  // namespace
}  // namespace test
}  // namespace telvora
