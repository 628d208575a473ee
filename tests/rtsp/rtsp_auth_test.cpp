#include "rtsp/rtsp_auth.h"

#include <gtest/gtest.h>

namespace telvora {
namespace {

struct ChallengeCase {
  const char* line;
  bool ok;
  int scheme;
  const char* realm;
  const char* nonce;
  const char* qop;
  const char* opaque;
};

const ChallengeCase kChallenges[] = {
    {"WWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"", true, 2, "cam", "abc", "", ""},
    {"www-authenticate:Digest realm=\"cam\",nonce=\"abc\"", true, 2, "cam", "abc", "", ""},
    {"WWW-Authenticate: digest realm=\"cam\", nonce=\"abc\"", true, 2, "cam", "abc", "", ""},
    {"WWW-Authenticate: BASIC realm=\"cam\"", true, 1, "cam", "", "", ""},
    {"WWW-Authenticate: Basic", true, 1, "", "", "", ""},
    // A comma inside quotes belongs to the value; unquoted values run to a comma.
    {"WWW-Authenticate: Digest realm=\"a, b\", nonce=xyz , stale=FALSE", true, 2, "a, b", "xyz", "", ""},
    {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth,auth-int\", opaque=\"o1\", algorithm=MD5", true,
     2, "r", "n", "auth,auth-int", "o1"},
    {"WWW-Authenticate: Digest Realm=\"r\", NONCE=\"n\"", true, 2, "r", "n", "", ""},
    {"WWW-Authenticate: Digest realm=\"r\\\"q\", nonce=\"n\"", true, 2, "rq", "n", "", ""},  // quotes never echoed
    {"WWW-Authenticate: Digest realm=\"cam\"", false, 2, "cam", "", "", ""},
    {"WWW-Authenticate: Digest nonce=\"n\", realm=\"\"", false, 2, "", "n", "", ""},
    {"WWW-Authenticate: Digest realm=\"unterminated, nonce=\"n\"", false, 2, "unterminated, nonce=", "", "", ""},
    {"WWW-Authenticate: Negotiate abc", true, 0, "old", "old", "", ""},
    {"WWW-Authenticate:", false, 0, "old", "old", "", ""},
    {"Proxy-Authenticate: Basic realm=\"x\"", false, 0, "old", "old", "", ""},
    {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", Basic realm=\"other\"", true, 2, "r", "n", "", ""},
    // Values without a name are skipped; the scan once stopped moving on them.
    {"WWW-Authenticate: Digest realm=\"r\", =, ==, nonce=\"n\"", true, 2, "r", "n", "", ""},
    {"WWW-Authenticate: Digest =", false, 2, "", "", "", ""},
};

TEST(Challenge, ParseTable) {
  for (const ChallengeCase& c : kChallenges) {
    RTSP_CHALLENGE challenge;
    challenge.scheme = 1;
    challenge.realm = "old";
    challenge.nonce = "old";
    EXPECT_EQ(ParseAuthenticateHeader(c.line, challenge), c.ok) << c.line;
    EXPECT_EQ(challenge.scheme, c.scheme) << c.line;
    EXPECT_EQ(challenge.realm, c.realm) << c.line;
    EXPECT_EQ(challenge.nonce, c.nonce) << c.line;
    EXPECT_EQ(challenge.qop, c.qop) << c.line;
    EXPECT_EQ(challenge.opaque, c.opaque) << c.line;
  }
}

TEST(Challenge, LineBreaksInValuesAreDropped) {
  RTSP_CHALLENGE challenge;
  ASSERT_TRUE(ParseAuthenticateHeader("WWW-Authenticate: Digest realm=\"a\nInjected: 1\", nonce=\"n\r\"", challenge));
  EXPECT_EQ(challenge.realm, "aInjected: 1");
  EXPECT_EQ(challenge.nonce, "n");
}

TEST(Basic, SeventyTwoBytesIsTheLimit) {
  std::string out;
  ASSERT_TRUE(MakeBasicCredentials("Aladdin", "open sesame", out));
  EXPECT_EQ(out, "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  ASSERT_TRUE(MakeBasicCredentials("", "", out));
  EXPECT_EQ(out, "Og==");
  ASSERT_TRUE(MakeBasicCredentials(std::string(40, 'u'), std::string(31, 'p'), out));
  EXPECT_EQ(out.size(), 96u);
  EXPECT_FALSE(MakeBasicCredentials(std::string(40, 'u'), std::string(32, 'p'), out));
  EXPECT_TRUE(out.empty());
}

TEST(Digest, QopOffersAuth) {
  EXPECT_TRUE(QopOffersAuth("auth"));
  EXPECT_TRUE(QopOffersAuth("auth-int, auth"));
  EXPECT_TRUE(QopOffersAuth(" AUTH "));
  EXPECT_FALSE(QopOffersAuth("auth-int"));
  EXPECT_FALSE(QopOffersAuth(""));
}

RTSP_CHALLENGE RfcChallenge() {
  RTSP_CHALLENGE c;
  c.scheme = kAuthDigest;
  c.realm = "testrealm@host.com";
  c.nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  return c;
}

// The expected responses were computed independently with Python:
//   ha1 = md5("Mufasa:testrealm@host.com:<password>"), ha2 = md5("GET:/dir/index.html")
//   RFC 2069: md5(ha1:nonce:ha2)
//   RFC 2617: md5(ha1:nonce:00000001:0a4f113b:auth:ha2), the example of RFC 2617 section 3.5.
TEST(Digest, Rfc2069Form) {
  const std::string line =
      MakeDigestAuthorization("GET", "/dir/index.html", "Mufasa", "CircleOfLife", RfcChallenge(), 1, "0a4f113b");
  EXPECT_EQ(line,
            "Authorization: Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"1949323746fe6a43ef61f9606e7febea\"\r\n");
}

TEST(Digest, Rfc2617QopAuthWithOpaque) {
  RTSP_CHALLENGE challenge = RfcChallenge();
  challenge.qop = "auth,auth-int";
  challenge.opaque = "5ccc069c403ebaf9f0171e9517f40e41";
  const std::string line =
      MakeDigestAuthorization("GET", "/dir/index.html", "Mufasa", "Circle Of Life", challenge, 1, "0a4f113b");
  EXPECT_EQ(line,
            "Authorization: Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"6629fae49393a05397450978507c4ef1\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", "
            "qop=auth, nc=00000001, cnonce=\"0a4f113b\"\r\n");
  // The count is part of the hash and written as eight hex digits.
  const std::string second =
      MakeDigestAuthorization("GET", "/dir/index.html", "Mufasa", "Circle Of Life", challenge, 0x1a, "0a4f113b");
  EXPECT_NE(second.find("nc=0000001a"), std::string::npos);
  EXPECT_EQ(second.find("6629fae49393a05397450978507c4ef1"), std::string::npos);
}

TEST(Digest, OpaqueWithoutQopIsEchoed) {
  RTSP_CHALLENGE challenge = RfcChallenge();
  challenge.opaque = "xyz";
  const std::string line = MakeDigestAuthorization("GET", "/dir/index.html", "Mufasa", "CircleOfLife", challenge, 1, "c");
  EXPECT_NE(line.find("response=\"1949323746fe6a43ef61f9606e7febea\", opaque=\"xyz\"\r\n"), std::string::npos);
  EXPECT_EQ(line.find("qop"), std::string::npos);
}

TEST(Digest, NothingWithoutEveryPiece) {
  const RTSP_CHALLENGE c = RfcChallenge();
  RTSP_CHALLENGE basic = c;
  basic.scheme = kAuthBasic;
  EXPECT_EQ(MakeDigestAuthorization("GET", "/u", "", "p", c, 1, "c"), "");
  EXPECT_EQ(MakeDigestAuthorization("GET", "/u", "u", "", c, 1, "c"), "");
  EXPECT_EQ(MakeDigestAuthorization("GET", "", "u", "p", c, 1, "c"), "");
  EXPECT_EQ(MakeDigestAuthorization("GET", "/u", "u", "p", basic, 1, "c"), "");
}

}  // namespace
}  // namespace telvora
