#include "rtsp/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include "rtsp/rtsp_method.h"

namespace telvora {
namespace {

std::string Response(std::initializer_list<const char*> lines, const std::string& body = "") {
  std::string text;
  for (const char* line : lines) text += std::string(line) + "\r\n";
  return text + "\r\n" + body;
}

TEST(ResponseParser, StatusLines) {
  const struct {
    std::string text;
    bool ok;
    uint32_t status;
  } kCases[] = {
      {Response({"RTSP/1.0 200 OK", "CSeq: 7"}), true, 200},
      {Response({"RTSP/1.0 401 Unauthorized"}), true, 401},
      {Response({"RTSP/1.0 404 Not Found"}), false, 404},
      {Response({"RTSP/1.0 302 Moved"}), false, 302},
      {Response({"RTSP/1.0 OK"}), false, 0},
      {Response({""}), false, 0},
      {"", false, 0},
      {Response({(std::string(127, 'R') + " 200 OK").c_str()}), true, 200},
      {Response({(std::string(128, 'R') + " 200 OK").c_str()}), false, 0},
      {"RTSP/1.0 200 OK", false, 0},  // no line end at all
  };
  for (const auto& c : kCases) {
    CRTSPResponseParser parser;
    EXPECT_EQ(parser.Parse(kRtspOptions, c.text), c.ok) << c.text;
    EXPECT_EQ(parser.status, c.status) << c.text;
  }
}

struct HeaderCase {
  const char* header;
  bool ok;
};

// Header lines, each in an otherwise fine 200 answer to OPTIONS.
TEST(ResponseParser, HeaderAcceptance) {
  const HeaderCase kCases[] = {
      {"CSeq: 7", true},
      {"cseq:7", true},
      {"CSeq: x", false},
      {"Content-Length: abc", false},
      {"Content-Type: application/sdp", true},
      {"Content-Type:", false},
      {"Content-Base: http://host/", true},
      {"Content-Base : rtsp://host/", true},
      {"  Server  : GStreamer", true},
      {"Session: 12345678;secure", false},
      {"Session:", false},
      {"Date: Mon, 07 Dec 2026 23:55:01 GMT", true},
      {":weird", true},
      {"no colon at all", true},
      {"WWW-Authenticate: Digest realm=\"x\"", false},
  };
  for (const HeaderCase& c : kCases) {
    CRTSPResponseParser parser;
    EXPECT_EQ(parser.Parse(kRtspOptions, Response({"RTSP/1.0 200 OK", c.header})), c.ok) << c.header;
  }
}

TEST(ResponseParser, SessionHeaders) {
  const struct {
    const char* header;
    bool ok;
    const char* id;
    uint32_t timeout;
  } kCases[] = {
      {"Session: 12345678;timeout=60", true, "12345678", 60},
      {"Session: 12345678;timeout=0", true, "12345678", 30},
      {"Session: 12345678;timeout=-5", true, "12345678", 30},
      {"Session: 12345678", true, "12345678", 5},  // time-out of the previous answer stays
      {"session:12345678 ; timeout = 45", true, "12345678", 45},
      {"SESSION:\t abc", true, "abc", 5},
      {"Session: 12345678;secure", false, "", 5},
      {"Session: ;timeout=60", false, "", 60},
  };
  for (const auto& c : kCases) {
    CRTSPResponseParser parser;
    parser.sessionTimeout = 5;
    EXPECT_EQ(parser.Parse(kRtspSetup, Response({"RTSP/1.0 200 OK", c.header})), c.ok) << c.header;
    EXPECT_EQ(parser.sessionId, c.id) << c.header;
    EXPECT_EQ(parser.sessionTimeout, c.timeout) << c.header;
  }
}

TEST(ResponseParser, ContentBaseAndTypeAndCSeq) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 200 OK", "CSeq:10", "Content-Base: RTSP://Host/Media/ ",
                                                    "Content-Type: Application/SDP", "Content-Length: 0"})));
  EXPECT_EQ(parser.cseq, 10u);
  EXPECT_EQ(parser.contentBase, "rtsp://Host/Media/");
  EXPECT_EQ(parser.contentType, "application/sdp");
  // A later http base leaves it; a later answer without the header too.
  ASSERT_TRUE(parser.Parse(kRtspOptions, Response({"RTSP/1.0 200 OK", "Content-Base: http://other/"})));
  // So does one that names no server.
  ASSERT_TRUE(parser.Parse(kRtspOptions, Response({"RTSP/1.0 200 OK", "Content-Base: rtsp://"})));
  ASSERT_TRUE(parser.Parse(kRtspOptions, Response({"RTSP/1.0 200 OK", "Content-Base: rtsp:///live/"})));
  ASSERT_TRUE(parser.Parse(kRtspOptions, Response({"RTSP/1.0 200 OK"})));
  EXPECT_EQ(parser.contentBase, "rtsp://Host/Media/");
  // A base without a scheme is an rtsp one; Content-Location is kept apart.
  ASSERT_TRUE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 200 OK", "Content-Base: 10.0.0.5/live/",
                                                    "Content-Location: rtsp://10.0.0.5/loc/"})));
  EXPECT_EQ(parser.contentBase, "rtsp://10.0.0.5/live/");
  EXPECT_EQ(parser.contentLocation, "rtsp://10.0.0.5/loc/");
}

TEST(ResponseParser, DescribeBody) {
  CRTSPResponseParser parser;
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
  ASSERT_TRUE(parser.Parse(kRtspDescribe,
                           Response({"RTSP/1.0 200 OK", ("Content-Length: " + std::to_string(sdp.size())).c_str()}, sdp)));
  EXPECT_EQ(parser.sdpInfo.video.control, "trackID=1");

  // A line that does not read costs only itself.
  EXPECT_TRUE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 200 OK", "Content-Length: 9"}, "m= video\r\n")));
  EXPECT_TRUE(parser.sdpInfo.video.control.empty());

  // Content-Length bounds the body: what follows is not read as SDP.
  ASSERT_TRUE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 200 OK", "Content-Length: 0"}, "m= broken\r\n")));
  EXPECT_TRUE(parser.sdpInfo.video.control.empty());

  // A length without the blank line that ends the headers.
  EXPECT_FALSE(parser.Parse(kRtspDescribe, "RTSP/1.0 200 OK\r\nContent-Length: 5\r\n"));
}

// The server's own choices in the Transport answer, as servers write them.
TEST(ResponseParser, SetupTransportAnswer) {
  const struct {
    std::string response;
    uint8_t rtp, rtcp;
    uint16_t serverRtp, serverRtcp;
    bool hasSsrc;
    uint32_t ssrc;
  } kCases[] = {
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP/TCP;unicast;interleaved=2-3"}), 2, 3, 0, 0, false, 0},
      {Response({"RTSP/1.0 200 OK", "transport:RTP/AVP/TCP;interleaved=4-5;ssrc=1"}), 4, 5, 0, 0, true, 1},
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP;unicast;client_port=5000-5001"}), 0, 1, 0, 0, false, 0},
      {Response({"RTSP/1.0 200 OK", "Transport: x;interleaved=300-301"}), 300 & 0xFF, 301 & 0xFF, 0, 0, false, 0},
      {Response({"RTSP/1.0 200 OK", "Transport: a;interleaved=8-9", "Transport: b;interleaved=6-7"}), 6, 7, 0, 0, false, 0},
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP/TCP;interleaved=6"}), 6, 7, 0, 0, false, 0},
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP;unicast;client_port=5000-5001;server_port=6970-6971;ssrc=1A2B3C4D"}),
       0, 1, 6970, 6971, true, 0x1A2B3C4D},
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP;unicast;server_port=0-1;ssrc = 0000BEEF ;mode=play"}), 0, 1, 0, 1,
       true, 0xBEEF},
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP;unicast;server_port=8000"}), 0, 1, 8000, 8001, false, 0},
      {Response({"RTSP/1.0 200 OK", "Transport: RTP/AVP;unicast;server_port=;ssrc="}), 0, 1, 0, 0, false, 0},
  };
  for (const auto& c : kCases) {
    CRTSPResponseParser parser;
    parser.rtpChannel = 99;
    ASSERT_TRUE(parser.Parse(kRtspSetup, c.response)) << c.response;
    EXPECT_EQ(parser.rtpChannel, c.rtp) << c.response;
    EXPECT_EQ(parser.rtcpChannel, c.rtcp) << c.response;
    EXPECT_EQ(parser.serverRtpPort, c.serverRtp) << c.response;
    EXPECT_EQ(parser.serverRtcpPort, c.serverRtcp) << c.response;
    EXPECT_EQ(parser.hasSsrc, c.hasSsrc) << c.response;
    if (c.hasSsrc) {
      EXPECT_EQ(parser.ssrc, c.ssrc) << c.response;
    }
  }
}

// Redirects and 454 parse, so the client can act on them, but never succeed.
TEST(ResponseParser, RedirectAndSessionNotFound) {
  CRTSPResponseParser parser;
  EXPECT_FALSE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 302 Moved", "CSeq: 1", "Location:  rtsp://b:8554/x "})));
  EXPECT_TRUE(parser.IsRedirect());
  EXPECT_EQ(parser.location, "rtsp://b:8554/x");
  EXPECT_FALSE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 301 Moved", "CSeq: 2"})));
  EXPECT_FALSE(parser.IsRedirect()) << "no Location";
  EXPECT_FALSE(parser.Parse(kRtspOptions, Response({"RTSP/1.0 454 Session Not Found", "CSeq: 3"})));
  EXPECT_EQ(parser.status, 454u);
  EXPECT_FALSE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 305 Use Proxy", "Location: rtsp://p/"})));
  EXPECT_FALSE(parser.IsRedirect());
}

TEST(ResponseParser, ServerRequestsAndCSeq) {
  EXPECT_TRUE(IsServerRequest("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
  EXPECT_TRUE(IsServerRequest("GET_PARAMETER rtsp://cam/ RTSP/1.0\r\n\r\n"));
  EXPECT_FALSE(IsServerRequest("RTSP/1.0 200 OK\r\n\r\n"));
  EXPECT_FALSE(IsServerRequest("options * RTSP/1.0\r\n\r\n"));
  uint32_t cseq = 0;
  EXPECT_TRUE(ResponseCSeq("RTSP/1.0 200 OK\r\nCSeq:   7  \r\n\r\n", &cseq));
  EXPECT_EQ(cseq, 7u);
  EXPECT_FALSE(ResponseCSeq("RTSP/1.0 200 OK\r\nServer: x\r\n\r\n", &cseq));
}

// Digest with an algorithm we answer wins in any order; Basic only when
// it is all there is; a challenge we cannot answer spoils no other.
TEST(ResponseParser, ChallengeChoice) {
  const struct {
    std::vector<const char*> headers;
    int scheme;
    const char* algorithm;
  } kCases[] = {
      {{"WWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"", "WWW-Authenticate: Basic realm=\"cam\""}, kAuthDigest, ""},
      {{"WWW-Authenticate: Basic realm=\"cam\"", "WWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\""}, kAuthDigest, ""},
      {{"WWW-Authenticate: Basic realm=\"cam\""}, kAuthBasic, ""},
      {{"WWW-Authenticate: Digest realm=\"c\", nonce=\"n\", algorithm=SHA-256", "WWW-Authenticate: Negotiate abc"},
       kAuthDigest, "SHA-256"},
      {{"WWW-Authenticate: Digest realm=\"c\", nonce=\"n\", algorithm=\"MD5-sess\""}, kAuthDigest, "MD5-sess"},
      {{"WWW-Authenticate: Digest realm=\"c\", nonce=\"n\", algorithm=SHA-512-256"}, kAuthDigest, "SHA-512-256"},
      {{"WWW-Authenticate: Digest realm=\"c\", nonce=\"n\", algorithm=SHA-1",
        "WWW-Authenticate: Basic realm=\"c\""}, kAuthBasic, ""},
      {{"WWW-Authenticate: Digest realm=\"c\", nonce=\"n\", algorithm=SHA-256",
        "WWW-Authenticate: Digest realm=\"c\", nonce=\"m\", algorithm=MD5"}, kAuthDigest, "SHA-256"},
      {{"WWW-Authenticate: Digest realm=\"c\"", "WWW-Authenticate: Basic realm=\"c\""}, kAuthBasic, ""},
      {{"WWW-Authenticate: Negotiate abc"}, kAuthNone, ""},
  };
  for (const auto& c : kCases) {
    std::vector<const char*> lines = {"RTSP/1.0 401 Unauthorized", "CSeq: 1"};
    lines.insert(lines.end(), c.headers.begin(), c.headers.end());
    std::string response;
    for (const char* line : lines) response += std::string(line) + "\r\n";
    response += "\r\n";
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.Parse(kRtspDescribe, response)) << response;
    EXPECT_EQ(parser.status, 401u);
    EXPECT_EQ(parser.challenge.scheme, c.scheme) << response;
    if (c.scheme == kAuthDigest) {
      EXPECT_EQ(parser.challenge.algorithm, c.algorithm) << response;
    }
  }
}

TEST(ResponseParser, DigestChallengeDetails) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kRtspDescribe, Response({"RTSP/1.0 401 Unauthorized",
                                                    "WWW-Authenticate:digest realm=\"a,b\",nonce=\"n\",opaque=\"o\""})));
  EXPECT_EQ(parser.challenge.scheme, kAuthDigest);
  EXPECT_EQ(parser.challenge.realm, "a,b");
  EXPECT_EQ(parser.challenge.opaque, "o");
}

TEST(ResponseParser, ControlBytesNeverReachEchoedValues) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kRtspSetup, Response({"RTSP/1.0 200 OK", "Session: 12\n34;timeout=5",
                                                 "Content-Base: rtsp://h/a\nInjected: 1"})));
  EXPECT_EQ(parser.sessionId, "1234");
  EXPECT_EQ(parser.contentBase, "rtsp://h/aInjected: 1");
}

TEST(ResponseParser, ResetForgetsAllButTheChannel) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kRtspSetup, Response({"RTSP/1.0 200 OK", "CSeq: 3", "Session: 9;timeout=20",
                                                 "Transport: RTP/AVP/TCP;interleaved=2-3"})));
  parser.Reset();
  EXPECT_EQ(parser.cseq, 0u);
  EXPECT_EQ(parser.sessionId, "");
  EXPECT_EQ(parser.sessionTimeout, 0u);
  EXPECT_EQ(parser.status, 0u);
  EXPECT_EQ(parser.rtpChannel, 2);
}

}  // namespace
}  // namespace telvora
