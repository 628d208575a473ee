// What real cameras send, one row per behaviour, with the answer bytes as
// they come from the wire. The scripted server checks every byte we send.
#include <functional>

#include "rtsp_client_fixture.h"

namespace telvora {
namespace test {
namespace {

const char kUdp[] = "RTP/AVP/UDP;unicast;client_port=5000-5001";
const char kTcp[] = "RTP/AVP/TCP;unicast;interleaved=0-1";

std::string Rtp(uint16_t sequence) {
  return ScriptedRtspServer::RtpPacket(96, sequence, 1000u * sequence, 0x11223344, true, "payload");
}
std::string Frame(uint8_t channel, const std::string& payload) {
  return ScriptedRtspServer::InterleavedFrame(channel, payload);
}
// An RTCP sender report (28 bytes), as some servers put on the RTP channel.
std::string SenderReport() {
  std::string sr = {'\x80', '\xC8', 0, 6};
  return sr + std::string(24, '\x01');
}
// An answer with a fixed CSeq: our own answers to the server's requests
// also pass through the script's CSeq tracking.
std::string WithCSeq(std::string answer, int cseq) {
  const size_t at = answer.find("{cseq}");
  if (at != std::string::npos) answer.replace(at, 6, std::to_string(cseq));
  return answer;
}

// DESCRIBE, SETUP and PLAY answered plainly, session "9".
void Playing(ScriptedRtspServer& s, uint16_t port, bool interleaved, const std::string& session = "9") {
  s.Expect(DescribeRequest(Base(port), 1))
      .Send(DescribeAnswer(H264Sdp()))
      .Expect(SetupRequest(Base(port, "trackID=1"), 2, interleaved ? kTcp : kUdp))
      .Send(SetupAnswer(session, interleaved ? "RTP/AVP/TCP;unicast;interleaved=0-1" : "RTP/AVP;unicast"))
      .Expect(PlayRequest(Base(port), 3, "9"))
      .Send(OkAnswer());
}

struct Quirk {
  const char* name;
  int mode;
  std::function<void(ScriptedRtspServer&, uint16_t)> script;
  // After the script has played, before Stop.
  std::function<void(RecordingClientUser&, CBaseRTSPClient&)> check;
  unsigned receiveMs;
  bool keepAlive;
};

void RunQuirks(const Quirk* begin, const Quirk* end) {
  for (const Quirk* c = begin; c != end; ++c) {
    SCOPED_TRACE(c->name);
    ScriptedRtspServer server;
    c->script(server, server.Port());
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    if (std::string(c->name).find("holds") != std::string::npos) user.holdFirstMs = 2 * c->receiveMs;
    CBaseRTSPClient client(&driver);
    client.SetKeepAliveEnabled(c->keepAlive);
    ASSERT_TRUE(client.Start(LoopbackConnection(server.Port(), c->receiveMs), &user, c->mode));
    EXPECT_TRUE(server.WaitDone(15000));
    if (c->check) c->check(user, client);
    client.Stop();
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  }
}

const auto kNoCheck = [](RecordingClientUser&, CBaseRTSPClient&) {};
const auto kEndsAtOnce = [](RecordingClientUser& user, CBaseRTSPClient&) { EXPECT_TRUE(user.WaitEnded(2000)); };

TEST(RtspClientQuirks, AnswersAndServerRequests) {
  const Quirk kCases[] = {
      {"CSeq with blanks around the value", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         const std::string sdp = H264Sdp();
         s.ExpectAny()
             .Send("RTSP/1.0 200 OK\r\nCSeq:   1  \r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp)
             .Expect(SetupRequest(Base(port, "trackID=1"), 2, kUdp))
             .Close();
       }, kNoCheck, 2000, false},
      {"answer to an earlier request first", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send("RTSP/1.0 200 OK\r\nCSeq: 0\r\nContent-Length: 0\r\n\r\n" + DescribeAnswer(H264Sdp("stale")))
             .Expect(SetupRequest(Base(port, "stale"), 2, kUdp))
             .Close();
       }, kNoCheck, 2000, false},
      {"no CSeq in the answer", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         const std::string sdp = H264Sdp();
         s.ExpectAny()
             .Send("RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp)
             .Expect(SetupRequest(Base(port, "trackID=1"), 2, kUdp))
             .Close();
       }, kNoCheck, 2000, false},
      {"server OPTIONS ahead of the answer", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send("OPTIONS * RTSP/1.0\r\nCSeq: 7\r\n\r\n")
             .Expect("RTSP/1.0 200 OK\r\nCSeq: 7\r\nPublic: OPTIONS, GET_PARAMETER\r\n\r\n")
             .Send(WithCSeq(DescribeAnswer(H264Sdp()), 1))
             .Expect(SetupRequest(Base(port, "trackID=1"), 2, kUdp))
             .Close();
       }, kNoCheck, 2000, false},
      {"ANNOUNCE, SET_PARAMETER and GET_PARAMETER while streaming", kTransportUdp,
       [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, false);
         s.Send("ANNOUNCE rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 31\r\nContent-Length: 5\r\n\r\nv=0\r\n")
             .Expect("RTSP/1.0 501 Not Implemented\r\nCSeq: 31\r\n\r\n")
             .Send("SET_PARAMETER rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 32\r\n\r\n")
             .Expect("RTSP/1.0 501 Not Implemented\r\nCSeq: 32\r\n\r\n")
             .Send("GET_PARAMETER rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq:33\r\n\r\n")
             .Expect("RTSP/1.0 200 OK\r\nCSeq: 33\r\n\r\n");
       }, [](RecordingClientUser& user, CBaseRTSPClient&) { EXPECT_EQ(user.ended.load(), 0); }, 2000, false},
      {"GET_PARAMETER from the server between frames", kTransportInterleaved,
       [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, true);
         s.Send(Frame(0, Rtp(1)) + "GET_PARAMETER rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 12\r\n\r\n" + Frame(0, Rtp(2)))
             .Expect("RTSP/1.0 200 OK\r\nCSeq: 12\r\n\r\n");
       }, [](RecordingClientUser& user, CBaseRTSPClient&) {
         EXPECT_TRUE(user.WaitPackets(2, 2000));
         EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 2}));
       }, 2000, false},
  };
  RunQuirks(std::begin(kCases), std::end(kCases));
}

TEST(RtspClientQuirks, BodiesAndDescriptions) {
  const std::string sdp = H264Sdp();
  const Quirk kCases[] = {
      {"body shorter than Content-Length, then close", kTransportUdp, [&](ScriptedRtspServer& s, uint16_t) {
         s.ExpectAny()
             .Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: " + std::to_string(sdp.size() + 40) + "\r\n\r\n" + sdp)
             .Close();
       }, [](RecordingClientUser& user, CBaseRTSPClient&) {
         EXPECT_TRUE(user.WaitEnded(2000));
         EXPECT_EQ(user.sdpCalls.load(), 1);
         EXPECT_EQ(user.Sdp().video.rtpmap, "H264/90000");
       }, 2000, false},
      {"body shorter than Content-Length, connection stays", kTransportUdp, [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: " + std::to_string(sdp.size() + 40) + "\r\n\r\n" + sdp)
             .Expect(SetupRequest(Base(port, "trackID=1"), 2, kUdp), 8000)
             .Close();
       }, kNoCheck, 1000, false},
      {"Content-Location base, audio first, control with leading slash", kTransportUdp,
       [](ScriptedRtspServer& s, uint16_t port) {
         const std::string loc = Base(port, "loc/");
         const std::string body = "v=0\r\nm=audio 0 RTP/AVP 0\r\na=control:trackID=2\r\na=x-odd\r\nm=video 0 RTP/AVP 96\r\n"
                                  "a=rtpmap:96 H264/90000\r\na=control:/abs/v\r\n";
         s.ExpectAny()
             .Send(DescribeAnswer(body, "Content-Location: " + loc + "\r\n"))
             .Expect(SetupRequest(Base(port, "abs/v"), 2, kUdp))
             .Send(SetupAnswer("9", "RTP/AVP;unicast"))
             .Expect(PlayRequest(loc, 3, "9"))
             .Close();
       }, kNoCheck, 2000, false},
  };
  RunQuirks(std::begin(kCases), std::end(kCases));
}

TEST(RtspClientQuirks, TransportAndSession) {
  const Quirk kCases[] = {
      {"server picks interleaved 6-7", kTransportInterleaved, [](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(DescribeAnswer(H264Sdp()))
             .Expect(SetupRequest(Base(port, "trackID=1"), 2, kTcp))
             .Send(SetupAnswer("9", "RTP/AVP/TCP;unicast;interleaved=6-7; ssrc = 11223344 "))
             .Expect(PlayRequest(Base(port), 3, "9"))
             .Send(OkAnswer() + Frame(0, Rtp(50)) + Frame(6, Rtp(1)) + Frame(7, SenderReport()) + Frame(6, Rtp(2)));
       }, [](RecordingClientUser& user, CBaseRTSPClient&) {
         EXPECT_TRUE(user.WaitPackets(2, 2000));
         EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 2}));
       }, 2000, false},
      {"server ports 0-1 and ssrc with blanks", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(DescribeAnswer(H264Sdp()))
             .ExpectAny()
             .Send(SetupAnswer("9", "RTP/AVP;unicast;client_port=5000-5001;server_port=0-1;ssrc = 0A0B0C0D "))
             .Expect(PlayRequest(Base(port), 3, "9"))
             .Close();
       }, kNoCheck, 2000, false},
      {"session id changes after SETUP", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(DescribeAnswer(H264Sdp()))
             .ExpectAny()
             .Send(SetupAnswer("9", "RTP/AVP;unicast"))
             .Expect(PlayRequest(Base(port), 3, "9"))
             .Send(OkAnswer("Session: 10;timeout=60\r\n"))
             .Expect(OptionsRequest(Base(port), 4, "10"))
             .Send(OkAnswer());
       }, kNoCheck, 2000, true},
  };
  RunQuirks(std::begin(kCases), std::end(kCases));
}

TEST(RtspClientQuirks, InterleavedStream) {
  const Quirk kCases[] = {
      {"garbage between frames", kTransportInterleaved, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, true);
         s.Send(Frame(0, Rtp(1)) + std::string("\x00\x13garbage\xff$\x07\x00", 13) + Frame(0, Rtp(2)) + "\r\n\xfe\xfe" +
                "NOT A MESSAGE\r\n" + Frame(0, Rtp(3)));
       }, [](RecordingClientUser& user, CBaseRTSPClient&) {
         EXPECT_TRUE(user.WaitPackets(3, 2000));
         EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 2, 3}));
       }, 2000, false},
      {"RTCP sender report on the RTP channel", kTransportInterleaved, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, true);
         s.Send(Frame(0, SenderReport()) + Frame(0, Rtp(1)));
       }, [](RecordingClientUser& user, CBaseRTSPClient&) {
         EXPECT_TRUE(user.WaitPackets(1, 2000));
         EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1}));
       }, 2000, false},
      {"host holds a frame past the receive time-out", kTransportInterleaved, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, true);
         s.Send(Frame(0, Rtp(1)) + Frame(0, Rtp(2))).Delay(200).Send(Frame(0, Rtp(3)));
       }, [](RecordingClientUser& user, CBaseRTSPClient&) {
         EXPECT_TRUE(user.WaitPackets(3, 5000));
         EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 2, 3}));
       }, 800, false},
  };
  RunQuirks(std::begin(kCases), std::end(kCases));
}

// The session ends at once, with SessionEnded, whenever the server has
// ended it; the owner restarts from there.
TEST(RtspClientQuirks, SessionEnds) {
  const Quirk kCases[] = {
      {"connection closes while streaming over UDP", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, false);
         s.Delay(100).Close();
       }, kEndsAtOnce, 5000, false},
      {"connection closes while interleaved", kTransportInterleaved, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, true);
         s.Send(Frame(0, Rtp(1))).Close();
       }, kEndsAtOnce, 5000, false},
      {"454 on a keep-alive", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, false);
         s.Expect(OptionsRequest(Base(port), 4, "9"))
             .Send("RTSP/1.0 454 Session Not Found\r\nCSeq: {cseq}\r\n\r\n");
       }, kEndsAtOnce, 5000, true},
      {"454 on a keep-alive while interleaved", kTransportInterleaved, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, true);
         s.Expect(OptionsRequest(Base(port), 4, "9"))
             .Send(Frame(0, Rtp(1)) + "RTSP/1.0 454 Session Not Found\r\nCSeq: 4\r\n\r\n");
       }, kEndsAtOnce, 5000, true},
  };
  RunQuirks(std::begin(kCases), std::end(kCases));
}

TEST(RtspClientQuirks, KeepAlive) {
  const Quirk kCases[] = {
      {"OPTIONS refused, GET_PARAMETER listed", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         Playing(s, port, false);
         s.Expect(OptionsRequest(Base(port), 4, "9"))
             .Send("RTSP/1.0 405 Method Not Allowed\r\nCSeq: {cseq}\r\n"
                   "Public: DESCRIBE, SETUP, TEARDOWN, PLAY, GET_PARAMETER\r\n\r\n")
             .Expect(GetParameterRequest(Base(port), 5, "9"))
             .Send(OkAnswer());
       }, [](RecordingClientUser& user, CBaseRTSPClient& client) {
         // The script ends when the answer is sent, a moment before the
         // client has read it.
         EXPECT_TRUE(WaitUntil([&] { return client.GetLastExchangeResult(); }));
         EXPECT_EQ(user.ended.load(), 0);
       }, 2000, true},
      {"session time-out written with blanks", kTransportUdp, [](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(DescribeAnswer(H264Sdp()))
             .ExpectAny()
             .Send(SetupAnswer("9; timeout = 4", "RTP/AVP;unicast"))
             .Expect(PlayRequest(Base(port), 3, "9"))
             .Send(OkAnswer())
             .Expect(OptionsRequest(Base(port), 4, "9"))
             .Send(OkAnswer())
             // Half of 4 s later, not half of the default 60 s.
             .Expect(OptionsRequest(Base(port), 5, "9"), 6000)
             .Send(OkAnswer());
       }, kNoCheck, 2000, true},
  };
  RunQuirks(std::begin(kCases), std::end(kCases));
}

// A 3xx with a Location moves the session, at most three times.
TEST(RtspClientQuirks, Redirects) {
  for (const char* status : {"301 Moved Permanently", "302 Found", "303 See Other", "307 Temporary Redirect"}) {
    SCOPED_TRACE(status);
    ScriptedRtspServer first, second;
    const std::string target = "rtsp://localhost:" + std::to_string(second.Port()) + "/other/stream";
    first.Expect(DescribeRequest(Base(first.Port()), 1))
        .Send(std::string("RTSP/1.0 ") + status + "\r\nCSeq: {cseq}\r\nLocation: " + target + "\r\n\r\n")
        .ExpectClosed();
    second.Expect(DescribeRequest(target, 2))
        .Send(DescribeAnswer(H264Sdp()))
        .Expect(SetupRequest(target + "/trackID=1", 3, kUdp))
        .Close();
    first.Start();
    second.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    client.SetKeepAliveEnabled(false);
    ASSERT_TRUE(client.Start(LoopbackConnection(first.Port()), &user, kTransportUdp));
    EXPECT_TRUE(second.WaitDone(10000));
    EXPECT_TRUE(user.WaitEnded(3000));
    EXPECT_EQ(client.GetEffectiveHost(), "localhost");
    client.Stop();
    EXPECT_TRUE(first.WaitDone(3000));
    EXPECT_EQ(first.Failures(), std::vector<std::string>{});
    EXPECT_EQ(second.Failures(), std::vector<std::string>{});
  }
  // A server that redirects to itself forever: three hops, then the end.
  ScriptedRtspServer loop;
  const std::string self = "Location: " + Base(loop.Port(), "again") + "\r\n";
  const std::string moved = "RTSP/1.0 302 Found\r\nCSeq: {cseq}\r\n" + self + "\r\n";
  loop.ExpectAny().Send(moved);
  for (int hop = 0; hop < 3; ++hop) loop.Reaccept().ExpectAny().Send(moved);
  loop.ExpectClosed();
  loop.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  ASSERT_TRUE(client.Start(LoopbackConnection(loop.Port()), &user, kTransportUdp));
  EXPECT_TRUE(user.WaitEnded(5000));
  client.Stop();
  EXPECT_TRUE(loop.WaitDone(3000));
  EXPECT_EQ(loop.Failures(), std::vector<std::string>{});
  EXPECT_EQ(loop.CountRequests("DESCRIBE"), 4u);
  EXPECT_EQ(user.sdpCalls.load(), 0);
}

}  // namespace
}  // namespace test
}  // namespace telvora
