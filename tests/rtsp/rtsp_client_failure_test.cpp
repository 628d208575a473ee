#include <functional>

#include "rtsp_client_fixture.h"
#include "support/wait_until.h"

namespace telvora {
namespace test {
namespace {

const unsigned kReceiveMs = 1000;

struct HostileCase {
  const char* name;
  std::function<void(ScriptedRtspServer&)> answer;  // after DESCRIBE arrived
  const char* logFragment;                          // expected warning, or ""
};

// Whatever the server does after DESCRIBE, the session ends within the
// receive time-out (plus scheduling) and Stop stays within its limit.
TEST(RtspClientFailures, HostileAnswersToDescribe) {
  const std::string head = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  const HostileCase kCases[] = {
      {"never answers", [](ScriptedRtspServer& s) { s.Listen(4000); }, ""},
      {"closes mid-answer", [&](ScriptedRtspServer& s) { s.Send(head + "Content-Len").Close(); }, ""},
      {"binary", [&](ScriptedRtspServer& s) { s.Send(binary).Listen(4000); }, ""},
      {"one byte at a time", [&](ScriptedRtspServer& s) { s.SendSlowly(head + "\r\n", 150); }, ""},
      {"endless headers", [&](ScriptedRtspServer& s) {
         s.Send(head).Stream("X-Endless: " + std::string(1000, 'e') + "\r\n", 1, 4000); },
       "exceed 65536 bytes"},
      {"oversized body", [&](ScriptedRtspServer& s) { s.Send(head + "Content-Length: 2000000\r\n\r\n").Listen(4000); },
       "exceeds 1048576 bytes"},
      {"huge content length", [&](ScriptedRtspServer& s) {
         s.Send(head + "Content-Length: 99999999999999999999999\r\n\r\n").Listen(4000); }, "exceeds"},
      {"status 404", [&](ScriptedRtspServer& s) { s.Send("RTSP/1.0 404 Not Found\r\nCSeq: 1\r\n\r\n").Listen(4000); }, ""},
  };
  for (const HostileCase& c : kCases) {
    SCOPED_TRACE(c.name);
    ScriptedRtspServer server;
    server.ExpectAny();
    c.answer(server);
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    const RTSP_CONNECTION_INFO connection = LoopbackConnection(server.Port(), kReceiveMs);
    const long long endMs = TimeMs([&] {
      ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
      EXPECT_TRUE(user.WaitEnded(kReceiveMs + 1500));
    });
    EXPECT_LE(endMs, kReceiveMs + 1500);
    EXPECT_LE(TimeMs([&] { client.Stop(); }), StopLimitMs(connection));
    EXPECT_EQ(user.sdpCalls.load(), 0);
    EXPECT_EQ(server.CountRequests("TEARDOWN"), 0u);
    if (*c.logFragment != 0) {
      EXPECT_TRUE(driver.Logs().Contains(c.logFragment)) << c.logFragment;
    }
  }
}

TEST(RtspClientFailures, InterleavedDataAheadOfAnAnswerIsSkipped) {
  ScriptedRtspServer server;
  const uint16_t port = server.Port();
  server.ExpectAny()
      .Send(ScriptedRtspServer::InterleavedFrame(0, std::string(300, '\x80')) + "\r\n" + DescribeAnswer(H264Sdp()))
      .Expect(SetupRequest(Base(port, "trackID=1"), 2, "RTP/AVP/UDP;unicast;client_port=5000-5001"))
      .Close();
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  ASSERT_TRUE(client.Start(LoopbackConnection(port), &user, kTransportUdp));
  EXPECT_TRUE(user.WaitEnded(3000));
  client.Stop();
  EXPECT_EQ(user.sdpCalls.load(), 1);
  EXPECT_TRUE(server.WaitDone(3000));
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

TEST(RtspClientFailures, StopDuringSetupSkipsPlayButTearsDown) {
  ScriptedRtspServer server;
  const uint16_t port = server.Port();
  server.ExpectAny().Send(DescribeAnswer(H264Sdp())).ExpectAny().Listen(6000);
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  // A long receive time-out: Stop must not wait for it.
  const RTSP_CONNECTION_INFO connection = LoopbackConnection(port, 5000);
  ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
  test::WaitUntil([&] { return server.CountRequests("SETUP") != 0; });
  ASSERT_EQ(server.CountRequests("SETUP"), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(TimeMs([&] { client.Stop(); }), 1000);
  EXPECT_EQ(user.ended.load(), 1);
  test::WaitUntil([&] { return server.CountRequests("TEARDOWN") != 0; });
  EXPECT_EQ(server.CountRequests("PLAY"), 0u);
  EXPECT_EQ(server.CountRequests("TEARDOWN"), 1u);
}

TEST(RtspClientFailures, ConnectFailuresReturnAtOnce) {
  // A port that was just free: nothing listens there.
  uint16_t closedPort;
  {
    ScriptedRtspServer probe;
    closedPort = probe.Port();
  }
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  RTSP_CONNECTION_INFO connection = LoopbackConnection(closedPort);
  EXPECT_LT(TimeMs([&] { EXPECT_FALSE(client.Start(connection, &user, kTransportUdp)); }), 500);
  connection.host = "";
  EXPECT_FALSE(client.Start(connection, &user, kTransportUdp));
  connection.host = "no-such-host.invalid";
  EXPECT_FALSE(client.Start(connection, &user, kTransportUdp));
  EXPECT_FALSE(client.IsRunning());
  EXPECT_EQ(user.ended.load(), 0);
  client.Stop();
}

TEST(RtspClientFailures, RestartBeginsAFreshSession) {
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  client.SetKeepAliveEnabled(false);
  for (int round = 0; round < 2; ++round) {
    ScriptedRtspServer server;
    const uint16_t port = server.Port();
    server.Expect(DescribeRequest(Base(port), 1)).Send("RTSP/1.0 500 Internal\r\nCSeq: 1\r\n\r\n");
    server.Start();
    // The second Start comes without a Stop in between.
    ASSERT_TRUE(client.Start(LoopbackConnection(port), &user, kTransportUdp));
    EXPECT_TRUE(server.WaitDone(3000));
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    test::WaitUntil([&] { return user.ended > round; });
  }
  client.Stop();
  EXPECT_EQ(user.ended.load(), 2);
}

}  // namespace
}  // namespace test
}  // namespace telvora
