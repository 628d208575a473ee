#include "rtsp_client_fixture.h"
#include "threading/time.h"
#include "support/wait_until.h"

namespace telvora {
namespace test {
namespace {

const char kUdpTransport[] = "RTP/AVP/UDP;unicast;client_port=5000-5001";

TEST(RtspClient, UdpSessionSendsEveryRequestInItsFormat) {
  ScriptedRtspServer server;
  const uint16_t port = server.Port();
  const std::string base = Base(port, "stream1");
  server.Expect(DescribeRequest(base, 1))
      .Send(DescribeAnswer(H264Sdp()))
      .Expect(SetupRequest(base + "/trackID=1", 2, kUdpTransport))
      .Send(SetupAnswer("12345678;timeout=60", "RTP/AVP;unicast;client_port=5000-5001;server_port=6970-6971"))
      .Expect(PlayRequest(base, 3, "12345678"))
      .Send(OkAnswer("Session: 12345678\r\nRange: npt=0.000-\r\n"))
      .Expect(OptionsRequest(base, 4, "12345678"), 4000)
      .Send(OkAnswer())
      .Expect(TeardownRequest(base, 5, "12345678"), 8000)
      .Send(OkAnswer())
      .ExpectClosed();
  server.Start();

  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  RTSP_CONNECTION_INFO connection = LoopbackConnection(port);
  connection.path = "//stream1";
  ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
  EXPECT_EQ(client.GetThreadName(), "RTSP Client Thread (" + driver.GetDeviceText() + ")");
  // The keep-alive goes out at the first 2 s check after PLAY.
  test::WaitUntil([&] { return server.CountRequests("OPTIONS") != 0; }, std::chrono::milliseconds(6000));
  client.Stop();
  EXPECT_TRUE(server.WaitDone(3000));
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  EXPECT_EQ(user.sdpCalls.load(), 1);
  EXPECT_EQ(user.ended.load(), 1);
  EXPECT_EQ(user.Sdp().video.rtpmap, "H264/90000");
  EXPECT_TRUE(client.GetLastExchangeResult());
  const auto requests = server.Requests();
  ASSERT_GE(requests.size(), 4u);
  const long long playToOptions = (requests[3].at - requests[2].at).count();
  EXPECT_GE(playToOptions, 1900);
  EXPECT_LE(playToOptions, 2600);
}

struct UrlCase {
  const char* name;
  std::string contentBase;  // header value, "" for none
  std::string control;      // video a=control, "" for none
  std::string setupUrl;     // expected, with PORT for the port
  std::string laterUrl;     // PLAY and TEARDOWN
};

std::string WithPort(std::string text, uint16_t port) {
  const size_t at = text.find("PORT");
  if (at != std::string::npos) text.replace(at, 4, std::to_string(port));
  return text;
}

TEST(RtspClient, UrlComposition) {
  const UrlCase kCases[] = {
      {"no base, relative control", "", "trackID=1", "rtsp://127.0.0.1:PORT/live/trackID=1", "rtsp://127.0.0.1:PORT/live"},
      {"base and relative control", "rtsp://127.0.0.1:PORT/media/", "trackID=1", "rtsp://127.0.0.1:PORT/media/trackID=1",
       "rtsp://127.0.0.1:PORT/media/"},
      {"base and absolute control", "rtsp://127.0.0.1:PORT/media/", "rtsp://127.0.0.1:PORT/abs/track0",
       "rtsp://127.0.0.1:PORT/abs/track0", "rtsp://127.0.0.1:PORT/media/"},
      {"base and empty control", "rtsp://127.0.0.1:PORT/media/", "", "rtsp://127.0.0.1:PORT/media/",
       "rtsp://127.0.0.1:PORT/media/"},
      {"control with leading slash", "", "/track2", "rtsp://127.0.0.1:PORT/track2", "rtsp://127.0.0.1:PORT/live"},
      {"control *", "rtsp://127.0.0.1:PORT/media/", "*", "rtsp://127.0.0.1:PORT/media/", "rtsp://127.0.0.1:PORT/media/"},
      {"base without trailing slash", "rtsp://127.0.0.1:PORT/media", "trackID=1", "rtsp://127.0.0.1:PORT/media/trackID=1",
       "rtsp://127.0.0.1:PORT/media"},
      {"upper-case scheme", "RTSP://127.0.0.1:PORT/media/", "RTSP://127.0.0.1:PORT/abs/t", "rtsp://127.0.0.1:PORT/abs/t",
       "rtsp://127.0.0.1:PORT/media/"},
      {"base without scheme", "127.0.0.1:PORT/media/", "t1", "rtsp://127.0.0.1:PORT/media/t1",
       "rtsp://127.0.0.1:PORT/media/"},
  };
  for (const UrlCase& c : kCases) {
    SCOPED_TRACE(c.name);
    ScriptedRtspServer server;
    const uint16_t port = server.Port();
    const std::string base = WithPort(c.contentBase, port);
    const std::string later = WithPort(c.laterUrl, port);
    server.Expect(DescribeRequest(Base(port, "live"), 1))
        .Send(DescribeAnswer(H264Sdp(WithPort(c.control, port)), base.empty() ? "" : "Content-Base: " + base + "\r\n"))
        .Expect(SetupRequest(WithPort(c.setupUrl, port), 2, kUdpTransport))
        .Send(SetupAnswer("77", "RTP/AVP;unicast"))
        .Expect(PlayRequest(later, 3, "77"))
        .Send(OkAnswer())
        .Expect(TeardownRequest(later, 4, "77"))
        .Send(OkAnswer());
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    client.SetKeepAliveEnabled(false);
    RTSP_CONNECTION_INFO connection = LoopbackConnection(port);
    connection.path = "/live";
    ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
    test::WaitUntil([&] { return server.CountRequests("PLAY") != 0; });
    client.Stop();
    EXPECT_TRUE(server.WaitDone(3000));
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  }
}

TEST(RtspClient, CSeqFollowsTheServer) {
  ScriptedRtspServer server;
  const uint16_t port = server.Port();
  // The DESCRIBE answer claims CSeq 10, so SETUP carries 11. A server
  // protocol other than RTP/AVP is used unchanged.
  std::string sdp = H264Sdp();
  sdp.replace(sdp.find("RTP/AVP"), 7, "RTP/AVPF");
  server.Expect(DescribeRequest(Base(port), 1))
      .Send("RTSP/1.0 200 OK\r\nCSeq: 10\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp)
      .Expect(SetupRequest(Base(port, "trackID=1"), 11, "RTP/AVPF;unicast;client_port=5000-5001"))
      .Send(SetupAnswer("1", "x"))
      .Expect(PlayRequest(Base(port), 12, "1"))
      .Send(OkAnswer())
      .Expect(TeardownRequest(Base(port), 13, "1"))
      .Send(OkAnswer());
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  client.SetKeepAliveEnabled(false);
  ASSERT_TRUE(client.Start(LoopbackConnection(port), &user, kTransportUdp));
  test::WaitUntil([&] { return server.CountRequests("PLAY") != 0; });
  client.Stop();
  EXPECT_TRUE(server.WaitDone(3000));
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

TEST(RtspClient, KeepAliveFollowsTheSessionTimeout) {
  // With a 4 s session time-out OPTIONS leaves at the first check and then
  // once more than 2 s have passed; with keep-alive off, never. A wall clock
  // stepped back an hour after the first keep-alive changes nothing.
  struct Case {
    const char* name;
    bool enabled;
    bool clockStep;
  };
  for (const Case& c : {Case{"enabled", true, false}, Case{"disabled", false, false},
                        Case{"clock stepped back", true, true}}) {
    SCOPED_TRACE(c.name);
    const bool enabled = c.enabled;
    ScriptedRtspServer server;
    const uint16_t port = server.Port();
    server.Expect(DescribeRequest(Base(port), 1))
        .Send(DescribeAnswer(H264Sdp()))
        .ExpectAny()
        .Send(SetupAnswer("5;timeout=4", "RTP/AVP;unicast"))
        .ExpectAny()
        .Send(OkAnswer());
    if (enabled) server.ExpectAny(3000).Send(OkAnswer()).ExpectAny(5000).Send(OkAnswer());
    server.Listen(enabled ? 1000 : 5000);
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    client.SetKeepAliveEnabled(enabled);
    ASSERT_TRUE(client.Start(LoopbackConnection(port), &user, kTransportUdp));
    if (c.clockStep) {
      WaitUntil([&] { return server.Requests().size() >= 4; }, std::chrono::seconds(10));
      SetWallClockOffsetForTesting(-3600LL * 10000000LL);
    }
    EXPECT_TRUE(server.WaitDone(12000));
    client.Stop();
    SetWallClockOffsetForTesting(0);
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    const auto requests = server.Requests();
    if (enabled) {
      ASSERT_GE(requests.size(), 5u);
      EXPECT_EQ(requests[3].text.compare(0, 8, "OPTIONS "), 0);
      EXPECT_EQ(requests[4].text.compare(0, 8, "OPTIONS "), 0);
      const long long gap = (requests[4].at - requests[3].at).count();
      EXPECT_GE(gap, 1900);
      EXPECT_LE(gap, 4500);
    } else {
      EXPECT_EQ(server.CountRequests("OPTIONS"), 0u);
    }
  }
}

TEST(RtspClient, RefusedDescriptionTearsDown) {
  for (bool throws : {false, true}) {
    ScriptedRtspServer server;
    const uint16_t port = server.Port();
    server.Expect(DescribeRequest(Base(port), 1))
        .Send(DescribeAnswer(H264Sdp()))
        .Expect(TeardownRequest(Base(port), 2, ""))
        .Send(OkAnswer());
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    user.acceptSdp = false;
    user.throwOnSdp = throws;
    CBaseRTSPClient client(&driver);
    ASSERT_TRUE(client.Start(LoopbackConnection(port), &user, kTransportUdp));
    EXPECT_TRUE(user.WaitEnded(3000));
    client.Stop();
    EXPECT_TRUE(server.WaitDone(3000));
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace test
}  // namespace telvora
