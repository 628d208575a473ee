#include "rtsp/rtsp_auth.h"

#include "rtsp/base64.h"
#include "rtsp/md5.h"
#include "rtsp/sha2.h"
#include "base/text_helpers.h"
#include "base/string_format.h"

namespace telvora {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Values are echoed into our own requests, so line breaks and zero bytes
// from the server never get through.
std::string Clean(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c != '\r' && c != '\n' && c != '\0' && c != '"') out += c;
  }
  return out;
}

struct AuthParams {
  std::string realm, nonce, qop, opaque, algorithm, stale;
};

// The hash of a Digest algorithm name, without its -sess suffix.
std::string DigestHash(const std::string& algorithm, const std::string& text) {
  std::string name = ToLower(algorithm);
  const size_t sess = name.rfind("-sess");
  if (sess != std::string::npos && sess + 5 == name.size()) name.erase(sess);
  if (name == "sha-256") return Sha256Hex(text);
  if (name == "sha-512-256") return Sha512_256Hex(text);
  return Md5Hex(text);
}

bool IsSessAlgorithm(const std::string& algorithm) {
  const std::string name = ToLower(algorithm);
  return name.size() > 5 && name.compare(name.size() - 5, 5, "-sess") == 0;
}

// Reads name=value pairs separated by commas. A quoted value runs to the
// closing quote (backslash escapes the next character); an unquoted one to
// the next comma. A bare word without '=' begins another challenge: stop.
void ReadAuthParams(const std::string& text, AuthParams& params) {
  size_t pos = 0;
  const size_t n = text.size();
  while (pos < n) {
    while (pos < n && (IsBlank(text[pos]) || text[pos] == ',')) ++pos;
    const size_t nameStart = pos;
    while (pos < n && !IsBlank(text[pos]) && text[pos] != '=' && text[pos] != ',') ++pos;
    const std::string name = ToLower(text.substr(nameStart, pos - nameStart));
    while (pos < n && IsBlank(text[pos])) ++pos;
    if (name.empty() || pos >= n || text[pos] != '=') {
      if (!name.empty()) return;
      // A value without a name ("=x"): step over the '=' so the scan moves on.
      if (pos < n) ++pos;
      continue;
    }
    ++pos;
    while (pos < n && IsBlank(text[pos])) ++pos;
    std::string value;
    if (pos < n && text[pos] == '"') {
      ++pos;
      while (pos < n && text[pos] != '"') {
        if (text[pos] == '\\' && pos + 1 < n) ++pos;
        value += text[pos++];
      }
      if (pos < n) ++pos;
    } else {
      const size_t valueStart = pos;
      while (pos < n && text[pos] != ',') ++pos;
      value = Trim(text.substr(valueStart, pos - valueStart));
    }
    value = Clean(value);
    if (name == "realm") params.realm = value;
    else if (name == "nonce") params.nonce = value;
    else if (name == "qop") params.qop = value;
    else if (name == "opaque") params.opaque = value;
    else if (name == "algorithm") params.algorithm = Trim(value);
    else if (name == "stale") params.stale = value;
  }
}

}  // namespace

bool ParseAuthenticateHeader(const std::string& line, RTSP_CHALLENGE& challenge) {
  challenge.scheme = kAuthNone;
  const size_t colon = line.find(':');
  if (colon == std::string::npos || ToLower(Trim(line.substr(0, colon))) != "www-authenticate") return false;
  size_t start = colon + 1;
  while (start < line.size() && IsBlank(line[start])) ++start;
  size_t end = start;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  if (end == start) return false;
  const std::string word = ToLower(line.substr(start, end - start));
  if (word == "digest") {
    challenge.scheme = kAuthDigest;
  } else if (word == "basic") {
    challenge.scheme = kAuthBasic;
  } else {
    return true;
  }
  AuthParams params;
  if (end < line.size()) ReadAuthParams(line.substr(end + 1), params);
  challenge.realm = params.realm;
  challenge.nonce = params.nonce;
  challenge.qop = params.qop;
  challenge.opaque = params.opaque;
  challenge.algorithm = params.algorithm;
  challenge.stale = ToLower(Trim(params.stale)) == "true";
  if (challenge.scheme == kAuthDigest && (challenge.realm.empty() || challenge.nonce.empty())) return false;
  return true;
}

bool DigestAlgorithmSupported(const std::string& algorithm) {
  const std::string name = ToLower(algorithm);
  return name.empty() || name == "md5" || name == "md5-sess" || name == "sha-256" || name == "sha-256-sess" ||
         name == "sha-512-256" || name == "sha-512-256-sess";
}

int ChallengeRank(const RTSP_CHALLENGE& challenge) {
  if (challenge.scheme == kAuthDigest) return DigestAlgorithmSupported(challenge.algorithm) ? 2 : 0;
  return challenge.scheme == kAuthBasic ? 1 : 0;
}

bool MakeBasicCredentials(const std::string& user, const std::string& password, std::string& out) {
  const std::string plain = user + ":" + password;
  // Room for 96 characters and a terminator: at most 72 input bytes.
  return Base64Encode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), 100, out);
}

bool QopOffersAuth(const std::string& qop) {
  for (const std::string& entry : Split(qop, ',')) {
    if (ToLower(Trim(entry)) == "auth") return true;
  }
  return false;
}

std::string MakeDigestAuthorization(const std::string& methodName, const std::string& uri, const std::string& user,
                                    const std::string& password, const RTSP_CHALLENGE& challenge,
                                    uint32_t nonceCount, const std::string& cnonce) {
  if (challenge.scheme != kAuthDigest || challenge.realm.empty() || challenge.nonce.empty() || user.empty() ||
      password.empty() || uri.empty())
    return std::string();
  const std::string& algorithm = challenge.algorithm;
  const bool sess = IsSessAlgorithm(algorithm);
  if (!DigestAlgorithmSupported(algorithm) || (sess && cnonce.empty())) return std::string();
  std::string ha1 = DigestHash(algorithm, user + ":" + challenge.realm + ":" + password);
  if (sess) ha1 = DigestHash(algorithm, ha1 + ":" + challenge.nonce + ":" + cnonce);
  const std::string ha2 = DigestHash(algorithm, methodName + ":" + uri);
  const bool withQop = QopOffersAuth(challenge.qop);
  const std::string nc = FormatString("%08x", nonceCount);
  const std::string response =
      withQop ? DigestHash(algorithm, ha1 + ":" + challenge.nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2)
              : DigestHash(algorithm, ha1 + ":" + challenge.nonce + ":" + ha2);
  std::string line = FormatString("Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", response=\"%s\"",
                                  user.c_str(), challenge.realm.c_str(), challenge.nonce.c_str(), uri.c_str(),
                                  response.c_str());
  if (!challenge.opaque.empty()) line += ", opaque=\"" + challenge.opaque + "\"";
  if (!algorithm.empty()) line += ", algorithm=" + algorithm;
  if (withQop) line += ", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\"";
  else if (sess) line += ", cnonce=\"" + cnonce + "\"";
  line += "\r\n";
  return line;
}

}  // namespace telvora
