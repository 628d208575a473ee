#include "rtsp_client_fixture.h"

namespace telvora {
namespace test {
namespace {

const char kTcpTransport[] = "RTP/AVP/TCP;unicast;interleaved=0-1";

std::string Rtp(uint16_t sequence) {
  return ScriptedRtspServer::RtpPacket(96, sequence, 1000u * sequence, 0x11223344, true, "payload-" + std::to_string(sequence));
}

std::string Frame(uint8_t channel, const std::string& payload) {
  return ScriptedRtspServer::InterleavedFrame(channel, payload);
}

// A receiver report followed by a BYE, one compound RTCP packet.
std::string ReportAndBye() {
  const char bytes[] = {'\x81', '\xC9', 0, 1, 1, 2, 3, 4, '\x81', '\xCB', 0, 1, 1, 2, 3, 4};
  return std::string(bytes, sizeof(bytes));
}

// DESCRIBE and SETUP of an interleaved session whose SETUP answer assigns
// the given channel pair.
void ScriptSetup(ScriptedRtspServer& server, const std::string& pair, const std::string& session = "7") {
  const uint16_t port = server.Port();
  server.Expect(DescribeRequest(Base(port), 1))
      .Send(DescribeAnswer(H264Sdp()))
      .Expect(SetupRequest(Base(port, "trackID=1"), 2, kTcpTransport))
      .Send(SetupAnswer(session, "RTP/AVP/TCP;unicast;interleaved=" + pair + ";ssrc=11223344"))
      .Expect(PlayRequest(Base(port), 3, session.substr(0, session.find(';'))));
}

const std::string kPlayAnswer = "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 7\r\nRTP-Info: url=trackID=1;seq=1\r\n\r\n";

TEST(RtspClientInterleaved, FramesInAnswerChunkSplitAndOtherChannels) {
  ScriptedRtspServer server;
  ScriptSetup(server, "0-1");
  const std::string split = Frame(0, Rtp(3));
  server.Send(kPlayAnswer + Frame(0, Rtp(1)) + Frame(0, Rtp(2)))
      .SendSplit(split, {2, 10}, 30)
      .Send(Frame(5, Rtp(100)) + "noise$" + Frame(1, std::string(8, '\x80')) + Frame(0, Rtp(4)))
      .Listen(5000);
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  client.SetKeepAliveEnabled(false);
  RTSP_CONNECTION_INFO connection = LoopbackConnection(server.Port());
  ASSERT_TRUE(client.Start(connection, &user, kTransportInterleaved));
  ASSERT_TRUE(user.WaitPackets(4, 3000));
  // Stop while PLAY still reads the stream: quick, and TEARDOWN still goes out.
  const long long stopMs = TimeMs([&] { client.Stop(); });
  EXPECT_LT(stopMs, 1000);
  EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 2, 3, 4}));
  EXPECT_EQ(user.Payloads()[2], "payload-3");
  EXPECT_EQ(user.ended.load(), 1);
  EXPECT_EQ(user.byes.load(), 0);
  server.WaitDone(6000);
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  EXPECT_EQ(server.CountRequests("TEARDOWN"), 1u);
}

TEST(RtspClientInterleaved, ByeOnTheAssignedRtcpChannelEndsTheSession) {
  ScriptedRtspServer server;
  ScriptSetup(server, "2-3");
  const uint16_t port = server.Port();
  server.Send(kPlayAnswer + Frame(0, Rtp(50)) + Frame(1, ReportAndBye()) + Frame(2, Rtp(1)))
      .Send(Frame(3, ReportAndBye()))
      .Expect(TeardownRequest(Base(port), 4, "7"))
      .Send(OkAnswer());
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  ASSERT_TRUE(client.Start(LoopbackConnection(port), &user, kTransportInterleaved));
  EXPECT_TRUE(user.WaitEnded(3000));
  EXPECT_EQ(user.byes.load(), 1);
  EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1}));
  EXPECT_TRUE(server.WaitDone(3000));
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  client.Stop();
}

TEST(RtspClientInterleaved, KeepAliveWhileTheStreamRuns) {
  ScriptedRtspServer server;
  ScriptSetup(server, "0-1", "7;timeout=4");
  server.Send(kPlayAnswer).Stream(Frame(0, Rtp(1)), 40, 6500);
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  ASSERT_TRUE(client.Start(LoopbackConnection(server.Port()), &user, kTransportInterleaved));
  EXPECT_TRUE(server.WaitDone(9000));
  client.Stop();
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  const auto requests = server.Requests();
  std::vector<long long> options;
  for (const auto& r : requests) {
    if (r.text.compare(0, 8, "OPTIONS ") == 0) options.push_back((r.at - requests[2].at).count());
  }
  // At 2 s, then at the 4 s or 6 s check.
  ASSERT_GE(options.size(), 2u);
  ASSERT_LE(options.size(), 3u);
  EXPECT_GE(options[0], 1900);
  EXPECT_LE(options[0], 2600);
  for (size_t i = 1; i < options.size(); ++i) EXPECT_GE(options[i] - options[i - 1], 1900);
  EXPECT_GT(user.Sequences().size(), 50u);
  // Same request as in the UDP wait loop.
  EXPECT_EQ(requests[3].text, OptionsRequest(Base(server.Port()), 4, "7"));
}

}  // namespace
}  // namespace test
}  // namespace telvora
