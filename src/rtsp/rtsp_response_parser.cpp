#include "rtsp/rtsp_response_parser.h"

#include "rtsp/rtsp_method.h"
#include "rtsp/text_helpers.h"

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

void CRTSPResponseParser::Reset() {
  sdpInfo.Clear();
  protocol.clear();
  status = 0;
  cseq = 0;
  contentBase.clear();
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
  if (status != 200 && status != 401) return false;
  for (;;) {
    const std::string line = NextLine(response, &pos);
    if (line.empty()) break;
    if (!ParseHeader(line)) return false;
  }
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
  if (name == "cseq") return ReadNumber(HeaderValue(line), cseq);
  if (name == "content-length") return ReadNumber(HeaderValue(line), contentLength);
  if (name == "content-type") {
    const std::string value = ToLower(HeaderValue(line));
    size_t end = 0;
    while (end < value.size() && !IsSpace(value[end])) ++end;
    if (end == 0) return false;
    contentType = value.substr(0, end < kMaxContentTypeLength ? end : kMaxContentTypeLength);
    return true;
  }
  if (name == "content-base") return ParseContentBase(line);
  if (name == "www-authenticate") return ParseAuthenticateHeader(line, challenge);
  if (name == "session") return ParseSession(HeaderValue(line));
  // Date, Transport (read by the SETUP scan), Range, RTP-Info, Server and
  // everything else carry nothing the client needs here.
  return true;
}

bool CRTSPResponseParser::ParseContentBase(const std::string& line) {
  const std::string lower = ToLower(line);
  const size_t key = lower.find("content-base:");
  if (key == std::string::npos) {
    contentBase.clear();
    return false;
  }
  const size_t url = lower.find("rtsp://", key);
  if (url != std::string::npos) contentBase = Trim(WithoutControls(line.substr(url)));
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

void CRTSPResponseParser::ScanTransport(const std::string& response) {
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find_first_of("\r\n", start);
    if (end == std::string::npos) end = response.size();
    if (end > start) {
      const std::string line = response.substr(start, end - start);
      if (HeaderName(line) == "transport") {
        const std::string channel = ExtractValue(line, "interleaved", "=", ";-");
        rtpChannel = static_cast<uint8_t>(LeadingNumber(channel, 0xFFFFFFFFull) & 0xFF);
      }
    }
    start = end + 1;
  }
}

}  // namespace telvora
