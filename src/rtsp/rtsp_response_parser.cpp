#include "rtsp/rtsp_response_parser.h"

#include <cctype>

#include "rtsp/rtsp_method.h"
#include "base/text_helpers.h"

namespace telvora {
namespace {

constexpr size_t kMaxProtocolLength = 127;
constexpr size_t kMaxContentTypeLength = 255;

// The next line up to CR LF. When no CR LF follows, the line is empty and
// *pos becomes npos.
std::string NextLine(const std::string& text, size_t* pos) {
  if (*pos == std::string::npos) return std::string();
  const size_t end = text.find("\r\n", *pos);
  if (end == std::string::npos) {
    *pos = std::string::npos;
    return std::string();
  }
  std::string line = text.substr(*pos, end - *pos);
  *pos = end + 2;
  return line;
}

// Session ids and URLs from the server go back into our requests, so no
// control byte (a lone line end above all) may stay in them.
std::string WithoutControls(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Decimal digits at the start of value into out; false when there are none.
bool ReadNumber(const std::string& value, uint32_t& out) {
  size_t digits = 0;
  const unsigned long long number = LeadingNumber(value, 0xFFFFFFFFull, &digits);
  if (digits == 0) return false;
  out = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

std::string HeaderName(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon < 2) return std::string();
  return ToLower(Trim(line.substr(0, colon)));
}

std::string HeaderValue(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return std::string();
  size_t start = colon + 1;
  while (start < line.size() && IsSpace(line[start])) ++start;
  return line.substr(start);
}

std::string NormalizeRtspUrl(const std::string& url) {
  const std::string text = Trim(url);
  // A bare path names no server; it cannot serve as a base.
  if (text.empty() || text[0] == '/') return std::string();
  const size_t scheme = text.find("://");
  if (scheme == std::string::npos) return "rtsp://" + text;
  if (ToLower(text.substr(0, scheme)) != "rtsp") return std::string();
  // Nor does one with nothing between the scheme and its path: a control
  // URL below it would become the server.
  const std::string rest = text.substr(scheme + 3);
  if (rest.empty() || rest[0] == '/' || rest[0] == '\\') return std::string();
  return "rtsp://" + rest;
}

bool IsServerRequest(const std::string& message) {
  // A method token, a blank, a URI, then the protocol: "OPTIONS * RTSP/1.0".
  size_t i = 0;
  while (i < message.size() && ((message[i] >= 'A' && message[i] <= 'Z') || message[i] == '_')) ++i;
  if (i == 0 || i >= message.size() || message[i] != ' ') return false;
  const size_t end = message.find("\r\n");
  const std::string line = message.substr(0, end);
  return line.size() >= 9 && line.compare(line.size() - 9, 9, " RTSP/1.0") == 0;
}

bool ResponseCSeq(const std::string& message, uint32_t* out) {
  size_t pos = 0;
  NextLine(message, &pos);
  for (;;) {
    const std::string line = NextLine(message, &pos);
    if (line.empty()) return false;
    if (HeaderName(line) == "cseq") {
      uint32_t value = 0;
      if (!ReadNumber(Trim(HeaderValue(line)), value)) return false;
      if (out != nullptr) *out = value;
      return true;
    }
  }
}

bool CRTSPResponseParser::IsRedirect() const {
  return (status == 301 || status == 302 || status == 303 || status == 307) && !location.empty();
}

void CRTSPResponseParser::Reset() {
  sdpInfo.Clear();
  protocol.clear();
  status = 0;
  cseq = 0;
  contentBase.clear();
  contentLocation.clear();
  location.clear();
  publicMethods.clear();
  connectionClose = false;
  hasCSeq = false;
  serverRtpPort = 0;
  serverRtcpPort = 0;
  hasSsrc = false;
  ssrc = 0;
  contentType.clear();
  contentLength = 0;
  sessionId.clear();
  sessionTimeout = 0;
  challenge = RTSP_CHALLENGE();
}

bool CRTSPResponseParser::ParseStatusLine(const std::string& line) {
  size_t pos = 0;
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
  const size_t wordStart = pos;
  while (pos < line.size() && !IsSpace(line[pos])) ++pos;
  const size_t wordLength = pos - wordStart;
  if (wordLength == 0 || wordLength > kMaxProtocolLength) return false;
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
  uint32_t code = 0;
  if (!ReadNumber(line.substr(pos), code)) return false;
  protocol = line.substr(wordStart, wordLength);
  status = code;
  contentLength = 0;
  return true;
}

bool CRTSPResponseParser::Parse(int method, const std::string& response) {
  size_t pos = 0;
  const std::string statusLine = NextLine(response, &pos);
  if (statusLine.empty() || !ParseStatusLine(statusLine)) return false;
  // Only 200 and 401 can succeed, but the headers of every answer are
  // read: where a redirect goes, which methods a refusing server offers.
  const bool usable = status == 200 || status == 401;
  location.clear();
  connectionClose = false;
  hasCSeq = false;
  // Of several challenges the best one we can answer wins, in whatever
  // order the server lists them; one we cannot read spoils none of the
  // others.
  RTSP_CHALLENGE best;
  int bestRank = -1;
  bool unreadableChallenge = false;
  for (;;) {
    const std::string line = NextLine(response, &pos);
    if (line.empty()) break;
    if (HeaderName(line) == "www-authenticate") {
      RTSP_CHALLENGE offered = challenge;
      if (!ParseAuthenticateHeader(line, offered)) {
        unreadableChallenge = true;
        continue;
      }
      const int rank = ChallengeRank(offered);
      if (rank > bestRank) {
        best = offered;
        bestRank = rank;
      }
      continue;
    }
    if (!ParseHeader(line)) return false;
  }
  if (bestRank >= 0) {
    challenge = best;
    if (bestRank == 0) challenge.scheme = kAuthNone;
  } else if (unreadableChallenge) {
    challenge.scheme = kAuthNone;
    return false;
  }
  if (!usable) return false;
  if (contentLength != 0 && pos == std::string::npos) return false;
  const std::string body =
      pos == std::string::npos || pos >= response.size() ? std::string() : response.substr(pos, contentLength);
  if (method == kRtspDescribe) {
    CSDPResponseParser sdp;
    if (!sdp.ParseSdp(body)) return false;
    sdpInfo = sdp.GetInfo();
    return true;
  }
  if (method == kRtspSetup) ScanTransport(response);
  return true;
}

bool CRTSPResponseParser::ParseHeader(const std::string& line) {
  const std::string name = HeaderName(line);
  if (name == "cseq") {
    hasCSeq = ReadNumber(Trim(HeaderValue(line)), cseq);
    return hasCSeq;
  }
  if (name == "content-length") return ReadNumber(HeaderValue(line), contentLength);
  if (name == "content-type") {
    const std::string value = ToLower(HeaderValue(line));
    size_t end = 0;
    while (end < value.size() && !IsSpace(value[end])) ++end;
    if (end == 0) return false;
    contentType = value.substr(0, end < kMaxContentTypeLength ? end : kMaxContentTypeLength);
    return true;
  }
  if (name == "content-base") return ParseContentBase(line, contentBase);
  if (name == "content-location") return ParseContentBase(line, contentLocation);
  if (name == "location") {
    location = Trim(WithoutControls(HeaderValue(line)));
    return true;
  }
  if (name == "public") {
    publicMethods = WithoutControls(HeaderValue(line));
    return true;
  }
  if (name == "connection") {
    connectionClose = ToLower(HeaderValue(line)).find("close") != std::string::npos;
    return true;
  }
  if (name == "session") return ParseSession(HeaderValue(line));
  // Date, Transport (read by the SETUP scan), Range, RTP-Info, Server and
  // everything else carry nothing the client needs here.
  return true;
}

bool CRTSPResponseParser::ParseContentBase(const std::string& line, std::string& target) {
  // A URL of another scheme (http://...) is no base for our requests.
  const std::string url = NormalizeRtspUrl(WithoutControls(HeaderValue(line)));
  if (!url.empty()) target = url;
  return true;
}

bool CRTSPResponseParser::ParseSession(const std::string& value) {
  sessionId.clear();
  const size_t semicolon = value.find(';');
  sessionId = Trim(WithoutControls(value.substr(0, semicolon)));
  if (semicolon != std::string::npos) {
    const std::string timeout = ExtractValue(value, "timeout", "=", ";\r\n");
    if (timeout.empty()) {
      sessionId.clear();
    } else {
      // A missing, zero or negative time-out means the usual RTSP default.
      const uint32_t seconds = static_cast<uint32_t>(LeadingNumber(Trim(timeout), 0xFFFFFFFFull));
      sessionTimeout = seconds == 0 ? 30 : seconds;
    }
  }
  return !sessionId.empty();
}

void CRTSPResponseParser::ReadTransport(const std::string& value) {
  // Of a list of transports the server names the one it chose first.
  const std::string transport = value.substr(0, value.find(','));
  rtpChannel = 0;
  rtcpChannel = 1;
  serverRtpPort = 0;
  serverRtcpPort = 0;
  hasSsrc = false;
  for (const std::string& piece : Split(transport, ';')) {
    const size_t eq = piece.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = ToLower(Trim(piece.substr(0, eq)));
    const std::string v = Trim(piece.substr(eq + 1));
    const size_t dash = v.find('-');
    const std::string first = Trim(v.substr(0, dash));
    const std::string second = dash == std::string::npos ? std::string() : Trim(v.substr(dash + 1));
    size_t digits = 0;
    if (name == "interleaved") {
      rtpChannel = static_cast<uint8_t>(LeadingNumber(first, 0xFFFFFFFFull) & 0xFF);
      const unsigned long long other = LeadingNumber(second, 0xFFFFFFFFull, &digits);
      rtcpChannel = static_cast<uint8_t>(digits > 0 ? other & 0xFF : (rtpChannel + 1u) & 0xFF);
    } else if (name == "server_port") {
      serverRtpPort = static_cast<uint16_t>(LeadingNumber(first, 0xFFFF));
      const unsigned long long other = LeadingNumber(second, 0xFFFF, &digits);
      serverRtcpPort = static_cast<uint16_t>(digits > 0 ? other : (serverRtpPort != 0 ? serverRtpPort + 1u : 0u));
    } else if (name == "ssrc") {
      uint32_t number = 0;
      size_t count = 0;
      for (; count < v.size() && count < 8 && std::isxdigit(static_cast<unsigned char>(v[count])); ++count)
        number = number * 16 + static_cast<uint32_t>(HexValue(v[count]));
      hasSsrc = count > 0;
      ssrc = number;
    }
  }
}

void CRTSPResponseParser::ScanTransport(const std::string& response) {
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find_first_of("\r\n", start);
    if (end == std::string::npos) end = response.size();
    if (end > start) {
      const std::string line = response.substr(start, end - start);
      if (HeaderName(line) == "transport") ReadTransport(HeaderValue(line));
    }
    start = end + 1;
  }
}

}  // namespace telvora
