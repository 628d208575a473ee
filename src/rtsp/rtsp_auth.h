// HTTP-style authentication for RTSP: reading a WWW-Authenticate challenge,
// Basic credentials, and the Digest answer (RFC 2069, or RFC 2617/7616 with
// qop=auth when the server offers it; MD5, MD5-sess, SHA-256 and
// SHA-512-256, each also as -sess). Pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace telvora {

enum RtspAuthScheme {
  kAuthNone = 0,
  kAuthBasic = 1,
  kAuthDigest = 2,
};

// What the last WWW-Authenticate header offered.
struct RTSP_CHALLENGE {
  int32_t scheme = kAuthNone;
  std::string realm;
  std::string nonce;
  std::string qop;     // the offered list as sent, e.g. "auth,auth-int"
  std::string opaque;  // echoed unchanged in every Digest answer
  std::string algorithm;  // as offered, unquoted; "" means MD5
  bool stale = false;     // the nonce ran out, the credentials were right
};

// True for a Digest challenge whose algorithm we can answer (MD5 when none
// is named).
bool DigestAlgorithmSupported(const std::string& algorithm);

// Preference of a challenge: 2 Digest with a supported algorithm, 1 Basic,
// 0 anything else. A server offering several gets the highest, the first
// of equal ones.
int ChallengeRank(const RTSP_CHALLENGE& challenge);

// Reads one WWW-Authenticate header line (without its CR LF). The header
// name and the scheme word are matched without regard to case. Sets the
// scheme to 0 first; for Basic and Digest it replaces realm, nonce, qop
// and opaque with the offered values (quoted strings unquoted, commas
// inside quotes kept). An unknown scheme leaves the strings as they were.
// False when the line is not such a header, has no scheme word, or is a
// Digest challenge without realm or nonce.
bool ParseAuthenticateHeader(const std::string& line, RTSP_CHALLENGE& challenge);

// Base64 of "user:password" as one line. False, with out emptied, when
// user, colon and password come to more than 72 bytes.
bool MakeBasicCredentials(const std::string& user, const std::string& password, std::string& out);

// True when a qop list (comma separated, blanks allowed) names "auth".
bool QopOffersAuth(const std::string& qop);

// The complete "Authorization: Digest ...\r\n" line for one request, or ""
// unless the challenge is Digest and realm, nonce, user, password and uri
// are all non-empty. With qop "auth" on offer the RFC 2617 form is used
// with nonceCount and cnonce; otherwise the RFC 2069 form. An offered
// opaque is echoed in both. A -sess algorithm needs the cnonce even
// without qop.
std::string MakeDigestAuthorization(const std::string& methodName, const std::string& uri, const std::string& user,
                                    const std::string& password, const RTSP_CHALLENGE& challenge,
                                    uint32_t nonceCount, const std::string& cnonce);

}  // namespace telvora
