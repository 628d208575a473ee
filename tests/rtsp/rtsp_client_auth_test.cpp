#include <functional>
#include <map>

#include "rtsp/sha2.h"
#include "rtsp_client_fixture.h"

#if ORVALEN_TEST_HAVE_GLIB
#include <glib.h>
#endif

namespace telvora {
namespace test {
namespace {

const char kUdpTransport[] = "RTP/AVP/UDP;unicast;client_port=5000-5001";

// An MD5 that shares no code with the client's.
std::string IndependentMd5(const std::string& text) {
#if ORVALEN_TEST_HAVE_GLIB
  gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(text.data()), text.size());
  std::string out(hex);
  g_free(hex);
  return out;
#else
  (void)text;
  return std::string();
#endif
}

// name=value pairs of an "Authorization: Digest" line, quotes removed.
std::map<std::string, std::string> DigestFields(const std::string& request) {
  std::map<std::string, std::string> fields;
  const size_t at = request.find("Authorization: Digest ");
  if (at == std::string::npos) return fields;
  const size_t end = request.find("\r\n", at);
  std::string rest = request.substr(at + 22, end - at - 22);
  size_t pos = 0;
  while (pos < rest.size()) {
    const size_t eq = rest.find('=', pos);
    if (eq == std::string::npos) break;
    const std::string name = rest.substr(pos, eq - pos);
    std::string value;
    size_t next;
    if (rest[eq + 1] == '"') {
      const size_t close = rest.find('"', eq + 2);
      value = rest.substr(eq + 2, close - eq - 2);
      next = close + 1;
    } else {
      next = rest.find(',', eq);
      value = rest.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1);
    }
    fields[name] = value;
    if (next == std::string::npos || next >= rest.size()) break;
    pos = next + 2;  // ", "
  }
  return fields;
}

// Checks a Digest request against the challenge with the independent MD5.
ScriptedRtspServer::Check DigestCheck(const std::string& method, const std::string& uri, bool qop,
                                      const std::string& expectedNc) {
  return [=](const std::string& request) -> std::string {
    if (request.compare(0, method.size() + uri.size() + 2, method + " " + uri + " ") != 0)
      return "wrong request line: " + request.substr(0, request.find("\r\n"));
    auto f = DigestFields(request);
    if (f["username"] != "admin" || f["realm"] != "cam, inc" || f["nonce"] != "abc" || f["uri"] != uri)
      return "wrong Digest fields in: " + request;
    const std::string ha1 = IndependentMd5("admin:cam, inc:secret");
    const std::string ha2 = IndependentMd5(method + ":" + uri);
    std::string expected;
    if (qop) {
      if (f["qop"] != "auth" || f["nc"] != expectedNc || f["cnonce"].size() < 8 || f["opaque"] != "op,1")
        return "wrong qop fields in: " + request;
      expected = IndependentMd5(ha1 + ":abc:" + f["nc"] + ":" + f["cnonce"] + ":auth:" + ha2);
    } else {
      if (f.count("qop") || f.count("opaque")) return "unexpected qop or opaque in: " + request;
      expected = IndependentMd5(ha1 + ":abc:" + ha2);
    }
    return f["response"] == expected ? std::string() : "wrong response in: " + request;
  };
}

std::string IndependentHash(const std::string& algorithm, const std::string& text) {
#if ORVALEN_TEST_HAVE_GLIB
  std::string name = algorithm;
  for (char& c : name) c = static_cast<char>(tolower(c));
  if (name.size() > 5 && name.compare(name.size() - 5, 5, "-sess") == 0) name.erase(name.size() - 5);
  // GLib has no SHA-512/256; ours is checked against hashlib's vectors.
  if (name == "sha-512-256") return Sha512_256Hex(text);
  if (name == "sha-256") {
    gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(text.data()), text.size());
    std::string out(hex);
    g_free(hex);
    return out;
  }
#endif
  (void)algorithm;
  return IndependentMd5(text);
}

// What a Digest request must carry; the response is recomputed.
struct DigestExpect {
  std::string method, uri, realm, nonce, algorithm;
  bool qop;
  std::string nc;  // with qop
};

ScriptedRtspServer::Check DigestRequest(const DigestExpect& e) {
  return [e](const std::string& request) -> std::string {
    if (request.compare(0, e.method.size() + e.uri.size() + 2, e.method + " " + e.uri + " ") != 0)
      return "wrong request line: " + request.substr(0, request.find("\r\n"));
    auto f = DigestFields(request);
    if (f["username"] != "admin" || f["realm"] != e.realm || f["nonce"] != e.nonce || f["uri"] != e.uri ||
        f["algorithm"] != e.algorithm)
      return "wrong Digest fields in: " + request;
    const bool sess = e.algorithm.find("-sess") != std::string::npos;
    std::string ha1 = IndependentHash(e.algorithm, "admin:" + e.realm + ":secret");
    if (sess) ha1 = IndependentHash(e.algorithm, ha1 + ":" + e.nonce + ":" + f["cnonce"]);
    const std::string ha2 = IndependentHash(e.algorithm, e.method + ":" + e.uri);
    std::string expected;
    if (e.qop) {
      if (f["qop"] != "auth" || f["nc"] != e.nc || f["cnonce"].size() < 8) return "wrong qop fields in: " + request;
      expected = IndependentHash(e.algorithm, ha1 + ":" + e.nonce + ":" + f["nc"] + ":" + f["cnonce"] + ":auth:" + ha2);
    } else {
      if (f.count("qop")) return "unexpected qop in: " + request;
      if (sess && f["cnonce"].size() < 8) return "no cnonce for -sess in: " + request;
      expected = IndependentHash(e.algorithm, ha1 + ":" + e.nonce + ":" + ha2);
    }
    return f["response"] == expected ? std::string() : "wrong response in: " + request;
  };
}

std::string Refusal(const std::string& challenges) {
  return "RTSP/1.0 401 Unauthorized\r\nCSeq: {cseq}\r\n" + challenges + "\r\n";
}

// One row per way a camera asks for credentials. Every request is checked
// with an independent digest; the script ends after the request that shows
// the behaviour.
TEST(RtspClientAuth, CameraChallengeTable) {
#if !ORVALEN_TEST_HAVE_GLIB
  GTEST_SKIP() << "GLib is not available for the independent digests";
#endif
  using Script = std::function<void(ScriptedRtspServer&, uint16_t)>;
  const auto describe = [](uint16_t port, const char* nonce, const char* algorithm, bool qop, const char* nc) {
    return DigestRequest({"DESCRIBE", Base(port), "cam", nonce, algorithm, qop, nc});
  };
  const auto setup = [](uint16_t port, const char* nonce, bool qop, const char* nc) {
    return DigestRequest({"SETUP", Base(port, "trackID=1"), "cam", nonce, "", qop, nc});
  };
  const struct {
    const char* name;
    Script script;
  } kCases[] = {
      {"Basic listed before Digest", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Basic realm=\"cam\"\r\n"
                           "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"))
             .ExpectWith(describe(port, "n1", "", false, ""));
       }},
      {"Digest listed before Basic", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"
                           "WWW-Authenticate: Basic realm=\"cam\"\r\n"))
             .ExpectWith(describe(port, "n1", "", false, ""));
       }},
      {"SHA-256 with qop before MD5", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", qop=\"auth\", algorithm=SHA-256\r\n"
                           "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", qop=\"auth\", algorithm=MD5\r\n"))
             .ExpectWith(describe(port, "n1", "SHA-256", true, "00000001"));
       }},
      {"MD5-sess unquoted, no qop", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", algorithm=MD5-sess\r\n"))
             .ExpectWith(describe(port, "n1", "MD5-sess", false, ""));
       }},
      {"SHA-512-256 quoted, with qop", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", qop=\"auth,auth-int\", "
                           "algorithm=\"SHA-512-256\"\r\n"))
             .ExpectWith(describe(port, "n1", "SHA-512-256", true, "00000001"));
       }},
      {"SHA-1 Digest and Basic: Basic", [&](ScriptedRtspServer& s, uint16_t) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", algorithm=SHA-1\r\n"
                           "WWW-Authenticate: Basic realm=\"cam\"\r\n"))
             .ExpectWith([](const std::string& r) {
               return r.find("\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\n") != std::string::npos ? "" : "no Basic: " + r;
             });
       }},
      {"nonce rotates on SETUP with stale=true", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", qop=auth\r\n"))
             .ExpectWith(describe(port, "n1", "", true, "00000001"))
             .Send(DescribeAnswer(H264Sdp()))
             .ExpectWith(setup(port, "n1", true, "00000002"))
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n2\", qop=auth, stale=true\r\n"))
             .ExpectWith(setup(port, "n2", true, "00000001"));
       }},
      {"401 on PLAY", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"))
             .ExpectWith(describe(port, "n1", "", false, ""))
             .Send(DescribeAnswer(H264Sdp()))
             .ExpectWith(setup(port, "n1", false, ""))
             .Send(SetupAnswer("9", "RTP/AVP;unicast"))
             .ExpectWith(DigestRequest({"PLAY", Base(port), "cam", "n1", "", false, ""}))
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n3\"\r\n"))
             .ExpectWith(DigestRequest({"PLAY", Base(port), "cam", "n3", "", false, ""}));
       }},
      {"server closes after its 401", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send(Refusal("WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"))
             .Reaccept()
             .ExpectWith(describe(port, "n1", "", false, ""))
             .Send(DescribeAnswer(H264Sdp()))
             .ExpectWith(setup(port, "n1", false, ""));
       }},
      {"401 with Connection: close", [&](ScriptedRtspServer& s, uint16_t port) {
         s.ExpectAny()
             .Send("RTSP/1.0 401 Unauthorized\r\nCSeq: {cseq}\r\nConnection: close\r\n"
                   "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n\r\n")
             .Delay(300)
             .Reaccept()
             .ExpectWith(describe(port, "n1", "", false, ""));
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScriptedRtspServer server;
    c.script(server, server.Port());
    server.Close();
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    client.SetKeepAliveEnabled(false);
    RTSP_CONNECTION_INFO connection = LoopbackConnection(server.Port());
    connection.userName = "admin";
    connection.password = "secret";
    ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
    EXPECT_TRUE(server.WaitDone(10000));
    client.Stop();
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    for (const auto& line : driver.Logs().Lines()) {
      EXPECT_EQ(line.second.find("secret"), std::string::npos);
      EXPECT_EQ(line.second.find("Authorization"), std::string::npos);
    }
  }
}

TEST(RtspClientAuth, DigestWithAndWithoutQop) {
#if !ORVALEN_TEST_HAVE_GLIB
  GTEST_SKIP() << "GLib is not available for the independent MD5";
#endif
  for (bool qop : {false, true}) {
    SCOPED_TRACE(qop ? "qop=auth with opaque" : "RFC 2069");
    ScriptedRtspServer server;
    const uint16_t port = server.Port();
    const std::string challenge = qop ? "WWW-Authenticate: Digest realm=\"cam, inc\", nonce=\"abc\", qop=\"auth\", "
                                        "opaque=\"op,1\", algorithm=MD5\r\n"
                                      : "WWW-Authenticate: Digest realm=\"cam, inc\", nonce=\"abc\"\r\n";
    server.Expect(DescribeRequest(Base(port), 1))
        .Send("RTSP/1.0 401 Unauthorized\r\nCSeq: {cseq}\r\n" + challenge + "\r\n")
        .ExpectWith(DigestCheck("DESCRIBE", Base(port), qop, "00000001"))
        .Send(DescribeAnswer(H264Sdp()))
        .ExpectWith(DigestCheck("SETUP", Base(port, "trackID=1"), qop, "00000002"))
        .Send(SetupAnswer("9", "RTP/AVP;unicast"))
        .ExpectWith(DigestCheck("PLAY", Base(port), qop, "00000003"))
        .Send(OkAnswer())
        .ExpectWith(DigestCheck("TEARDOWN", Base(port), qop, "00000004"))
        .Send(OkAnswer());
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    client.SetKeepAliveEnabled(false);
    RTSP_CONNECTION_INFO connection = LoopbackConnection(port);
    connection.userName = "admin";
    connection.password = "secret";
    ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
    WaitUntil([&] { return server.CountRequests("PLAY") != 0; });
    client.Stop();
    EXPECT_TRUE(server.WaitDone(3000));
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    // Neither the password nor the credentials reach the log.
    for (const auto& line : driver.Logs().Lines()) {
      EXPECT_EQ(line.second.find("secret"), std::string::npos);
      EXPECT_EQ(line.second.find("Authorization"), std::string::npos);
    }
  }
}

TEST(RtspClientAuth, DigestLineMatchesPrecomputedValue) {
  // md5(md5("admin:cam:secret") ":abc:" md5("DESCRIBE:rtsp://127.0.0.1:554/stream")),
  // computed with Python's hashlib: fde23b42181004fde1e8fff97bd4dd7a. The
  // 401 names that URL as Content-Base, so the repeat goes there.
  ScriptedRtspServer server;
  const uint16_t port = server.Port();
  const std::string uri = "rtsp://127.0.0.1:554/stream";
  const std::string auth = "Authorization: Digest username=\"admin\", realm=\"cam\", nonce=\"abc\", uri=\"" + uri +
                           "\", response=\"fde23b42181004fde1e8fff97bd4dd7a\"\r\n";
  server.Expect(DescribeRequest(Base(port), 1))
      .Send("RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nContent-Base: " + uri +
            "\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"\r\n\r\n")
      .Expect(DescribeRequest(uri, 2, auth))
      .Close();
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  RTSP_CONNECTION_INFO connection = LoopbackConnection(port);
  connection.userName = "admin";
  connection.password = "secret";
  ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
  EXPECT_TRUE(user.WaitEnded(3000));
  client.Stop();
  EXPECT_TRUE(server.WaitDone(3000));
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
}

TEST(RtspClientAuth, BasicOnlyWhenItIsAllThereIs) {
  // admin:secret in Base64.
  const std::string basic = "Authorization: Basic YWRtaW46c2VjcmV0\r\n";
  const std::string challenges[] = {
      "WWW-Authenticate: Basic realm=\"cam\"\r\n",
      // The last challenge is one nobody answers; Basic still is.
      "WWW-Authenticate: Basic realm=\"cam\"\r\nWWW-Authenticate: Negotiate\r\n",
  };
  for (const std::string& challenge : challenges) {
    ScriptedRtspServer server;
    const uint16_t port = server.Port();
    // Headers past 512 bytes and a Content-Length without a blank must not
    // lose the answer.
    const std::string padding = "X-Padding: " + std::string(600, 'p') + "\r\n";
    server.Expect(DescribeRequest(Base(port), 1))
        .Send("RTSP/1.0 401 Unauthorized\r\nCSeq: {cseq}\r\n" + padding + challenge + "Content-Length:4\r\n\r\nnope")
        .Expect(DescribeRequest(Base(port), 2, basic))
        .Send(DescribeAnswer(H264Sdp(), padding))
        .Expect(SetupRequest(Base(port, "trackID=1"), 3, kUdpTransport, basic))
        .Close();
    server.Start();
    FakeDriver driver;
    RecordingClientUser user;
    CBaseRTSPClient client(&driver);
    RTSP_CONNECTION_INFO connection = LoopbackConnection(port);
    connection.userName = "admin";
    connection.password = "secret";
    ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
    EXPECT_TRUE(user.WaitEnded(3000));
    client.Stop();
    EXPECT_TRUE(server.WaitDone(3000));
    EXPECT_EQ(server.Failures(), std::vector<std::string>{});
    EXPECT_EQ(user.sdpCalls.load(), 1);
    EXPECT_EQ(client.GetLastStatus(), 0) << "SETUP got no answer";
  }
}

TEST(RtspClientAuth, SecondRefusalEndsWithoutTeardown) {
  ScriptedRtspServer server;
  const uint16_t port = server.Port();
  const std::string refusal =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: {cseq}\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"n2\"\r\n\r\n";
  server.Expect(DescribeRequest(Base(port), 1))
      .Send(refusal)
      .ExpectAny()
      .Send(refusal)
      .ExpectClosed(5000);
  server.Start();
  FakeDriver driver;
  RecordingClientUser user;
  CBaseRTSPClient client(&driver);
  RTSP_CONNECTION_INFO connection = LoopbackConnection(port);
  connection.userName = "admin";
  connection.password = "wrong";
  ASSERT_TRUE(client.Start(connection, &user, kTransportUdp));
  EXPECT_TRUE(user.WaitEnded(3000));
  client.Stop();
  EXPECT_TRUE(server.WaitDone(6000));
  EXPECT_EQ(server.Failures(), std::vector<std::string>{});
  EXPECT_EQ(server.CountRequests("DESCRIBE"), 2u);
  EXPECT_EQ(server.CountRequests("TEARDOWN"), 0u);
  EXPECT_EQ(user.sdpCalls.load(), 0);
  EXPECT_EQ(client.GetLastStatus(), 401) << "the owner can tell a refusal from a dead camera";
}

}  // namespace
}  // namespace test
}  // namespace telvora
