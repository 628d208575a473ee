#include "quirk_proxy.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

namespace quirks {
namespace {

const char kRealm[] = "quirkcam";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of a header, "" when absent.
std::string Header(const std::string& message, const std::string& name) {
  const std::string lower = Lower(message);
  const size_t at = lower.find("\r\n" + Lower(name) + ":");
  if (at == std::string::npos) return std::string();
  size_t start = at + 3 + name.size();
  while (start < message.size() && message[start] == ' ') ++start;
  return message.substr(start, message.find("\r\n", start) - start);
}

// Removes a header line (first occurrence).
std::string WithoutHeader(std::string message, const std::string& name) {
  const size_t at = Lower(message).find("\r\n" + Lower(name) + ":");
  if (at != std::string::npos) message.erase(at, message.find("\r\n", at + 2) - at);
  return message;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Length of the whole message at the start of text (header block and
// Content-Length body), 0 when it is not complete yet.
size_t MessageLength(const std::string& text) {
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  const std::string length = Header(text.substr(0, end + 2), "Content-Length");
  const size_t total = end + 4 + static_cast<size_t>(atol(length.c_str()));
  return text.size() >= total ? total : 0;
}

// A message with a new body, its Content-Length following.
std::string WithBody(const std::string& message, const std::string& body) {
  const size_t end = message.find("\r\n\r\n");
  std::string head = message.substr(0, end + 2);
  const std::string old = Header(head, "Content-Length");
  head = ReplaceAll(head, "Content-Length: " + old, "Content-Length: " + std::to_string(body.size()));
  return head + "\r\n" + body;
}

std::string Hash(const std::string& algorithm, const std::string& text) {
  const GChecksumType type = Lower(algorithm) == "sha-256" ? G_CHECKSUM_SHA256 : G_CHECKSUM_MD5;
  gchar* hex = g_compute_checksum_for_data(type, reinterpret_cast<const guchar*>(text.data()), text.size());
  std::string out(hex);
  g_free(hex);
  return out;
}

std::map<std::string, std::string> DigestFields(const std::string& value) {
  std::map<std::string, std::string> fields;
  size_t pos = value.find(' ');
  while (pos != std::string::npos && pos < value.size()) {
    while (pos < value.size() && (value[pos] == ' ' || value[pos] == ',')) ++pos;
    const size_t eq = value.find('=', pos);
    if (eq == std::string::npos) break;
    const std::string name = value.substr(pos, eq - pos);
    if (eq + 1 < value.size() && value[eq + 1] == '"') {
      const size_t close = value.find('"', eq + 2);
      fields[name] = value.substr(eq + 2, close - eq - 2);
      pos = close == std::string::npos ? close : close + 1;
    } else {
      const size_t comma = value.find(',', eq);
      fields[name] = value.substr(eq + 1, comma == std::string::npos ? std::string::npos : comma - eq - 1);
      pos = comma;
    }
  }
  return fields;
}

std::string Base64Encode(const std::string& bytes) {
  gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out(text);
  g_free(text);
  return out;
}

std::string Base64Decode(const std::string& text) {
  gsize length = 0;
  guchar* bytes = g_base64_decode(text.c_str(), &length);
  std::string out(reinterpret_cast<const char*>(bytes), length);
  g_free(bytes);
  return out;
}

std::string RewriteDescription(Quirk quirk, const std::string& sdp, const std::string& path) {
  switch (quirk) {
    case Quirk::kSdpOddLines:
      return ReplaceAll(sdp, "m=video", "a=fmtp:96 bogus\r\nm= \r\nc=IN IPX 1.2.3.4\r\nm=video") +
             "a=control:\r\na=rtpmap:\r\nc=in IP4 1.1.1.1\r\n";
    case Quirk::kSdpVideoNotFirst:
      return ReplaceAll(sdp, "m=video",
                        "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=control:audio\r\n"
                        "m=video 0 RTP/AVP 98\r\na=rtpmap:98 H265/90000\r\na=control:hevc\r\n"
                        "a=fmtp:98 sprop-parameter-sets=QAEMAf//\r\nm=application 0 RTP/AVP 107\r\n"
                        "a=control:meta\r\nm=video") +
             "m=video 0 RTP/AVP 97\r\na=rtpmap:97 VP8/90000\r\na=control:vp8\r\n";
    case Quirk::kControlAbsolutePath:
      return ReplaceAll(sdp, "a=control:stream=", "a=control:" + path + "stream=");
    case Quirk::kSpropReordered: {
      const size_t at = sdp.find("sprop-parameter-sets=");
      if (at == std::string::npos) return sdp;
      const size_t start = at + 21;
      const size_t end = sdp.find_first_of(";\r\n ", start);
      const std::string sets = sdp.substr(start, end - start);
      const size_t comma = sets.find(',');
      if (comma == std::string::npos) return sdp;
      const std::string code("\0\0\0\1", 4);
      const std::string swapped = Base64Encode(code + Base64Decode(sets.substr(comma + 1))) + "," +
                                  Base64Encode(code + Base64Decode(sets.substr(0, comma)));
      return sdp.substr(0, start) + swapped + sdp.substr(end);
    }
    default:
      return sdp;
  }
}

// Size of the interleaved frame at the start of pending, 0 while it is not whole.
size_t FrameLength(const std::string& pending) {
  if (pending.size() < 4) return 0;
  const size_t total = 4 + static_cast<uint8_t>(pending[2]) * 256u + static_cast<uint8_t>(pending[3]);
  return pending.size() < total ? 0 : total;
}

}  // namespace

struct QuirkProxy::LinkState {
  std::deque<std::string> methods;  // forwarded requests awaiting answers
  bool played = false;
  unsigned frames = 0;
  unsigned injected = 0;
};

const char* QuirkName(Quirk quirk) {
  static const char* const kNames[] = {
      "DigestAfterBasic", "DigestSha256",    "NonceRotation",       "CloseAfter401",       "CSeqBlanks",
      "ServerOptions",    "StaleAnswer",     "ShortBody",           "Redirect",            "KeepAlive454",
      "OptionsRefused",   "TimeoutBlanks",   "SdpOddLines",         "SdpVideoNotFirst",    "ControlAbsolutePath",
      "SpropReordered",   "SsrcBlanks",      "ChannelPair67",       "GarbageBetweenFrames", "RtcpOnRtpChannel",
      "ServerGetParameter"};
  return kNames[static_cast<int>(quirk)];
}

bool InterleavedOnly(Quirk quirk) {
  return quirk == Quirk::kChannelPair67 || quirk == Quirk::kGarbageBetweenFrames ||
         quirk == Quirk::kRtcpOnRtpChannel || quirk == Quirk::kServerGetParameter;
}

bool NeedsCredentials(Quirk quirk) {
  return quirk == Quirk::kDigestAfterBasic || quirk == Quirk::kDigestSha256 || quirk == Quirk::kNonceRotation ||
         quirk == Quirk::kCloseAfter401;
}

QuirkProxy::QuirkProxy(Quirk quirk, uint16_t upstreamPort)
    : m_quirk(quirk),
      m_upstreamPort(upstreamPort),
      m_proxy(upstreamPort, {[this](Link& link, std::string& pending) { return FromClient(&link, pending); },
                             [this](Link& link, std::string& pending) { return FromServer(&link, pending); },
                             nullptr}) {}

QuirkProxy::LinkState& QuirkProxy::StateOf(Link* link) {
  if (!link->state.has_value()) link->state = LinkState();
  return *std::any_cast<LinkState>(&link->state);
}

std::vector<std::string> QuirkProxy::Problems() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_problems;
}

unsigned QuirkProxy::Count(const std::string& method) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<unsigned>(std::count(m_methods.begin(), m_methods.end(), method));
}

void QuirkProxy::Problem(const std::string& what) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_problems.size() < 20) m_problems.push_back(what);
}

bool QuirkProxy::FromClient(Link* link, std::string& pending) {
  for (;;) {
    if (!pending.empty() && pending[0] == '$') {
      const size_t total = FrameLength(pending);
      if (total == 0) return true;
      link->ToServer(pending.substr(0, total));
      pending.erase(0, total);
      continue;
    }
    const size_t length = MessageLength(pending);
    if (length == 0) return true;
    const std::string message = pending.substr(0, length);
    pending.erase(0, length);
    if (message.compare(0, 5, "RTSP/") == 0) {
      // The client's reply to a request the proxy made up.
      ++m_replies;
      if (Header(message, "CSeq").compare(0, 1, "9") != 0) Problem("reply without the echoed CSeq: " + message);
      continue;
    }
    if (!OnRequest(link, message)) return false;
  }
}

bool QuirkProxy::FromServer(Link* link, std::string& pending) {
  while (!pending.empty()) {
    if (pending[0] == '$') {
      const size_t total = FrameLength(pending);
      if (total == 0) return true;
      OnFrame(link, pending.substr(0, total));
      pending.erase(0, total);
      continue;
    }
    const size_t length = MessageLength(pending);
    if (length == 0) return true;
    OnAnswer(link, pending.substr(0, length));
    pending.erase(0, length);
  }
  return true;
}

bool QuirkProxy::Authorized(Link* link, const std::string& request, std::string* reason) {
  (void)link;
  const std::string value = Header(request, "Authorization");
  if (value.empty()) return false;
  if (value.compare(0, 7, "Digest ") != 0) {
    *reason = "not Digest: " + value.substr(0, value.find(' '));
    return false;
  }
  auto f = DigestFields(value);
  const std::string method = request.substr(0, request.find(' '));
  std::string nonce;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    nonce = m_nonce;
  }
  const std::string algorithm = m_quirk == Quirk::kDigestSha256 ? "SHA-256" : "";
  if (f["nonce"] != nonce) {
    *reason = "old nonce " + f["nonce"];
    return false;
  }
  if (f["algorithm"] != algorithm) {
    *reason = "algorithm '" + f["algorithm"] + "'";
    return false;
  }
  const std::string ha1 = Hash(algorithm, std::string(kUser) + ":" + kRealm + ":" + kPassword);
  const std::string ha2 = Hash(algorithm, method + ":" + f["uri"]);
  const bool qop = m_quirk == Quirk::kDigestSha256 || m_quirk == Quirk::kNonceRotation;
  const std::string expected = qop ? Hash(algorithm, ha1 + ":" + nonce + ":" + f["nc"] + ":" + f["cnonce"] + ":auth:" + ha2)
                                   : Hash(algorithm, ha1 + ":" + nonce + ":" + ha2);
  if (f["response"] != expected || f["username"] != kUser) {
    *reason = "wrong Digest response";
    return false;
  }
  return true;
}

bool QuirkProxy::OnRequest(Link* link, std::string request) {
  const std::string method = request.substr(0, request.find(' '));
  const std::string cseq = Header(request, "CSeq");
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_methods.push_back(method);
  }
  const auto answer = [&](const std::string& status, const std::string& headers) {
    return link->ToClient("RTSP/1.0 " + status + "\r\nCSeq: " + cseq + "\r\n" + headers + "\r\n");
  };
  if (NeedsCredentials(m_quirk)) {
    std::string reason;
    const bool ok = Authorized(link, request, &reason);
    if (ok && m_quirk == Quirk::kNonceRotation && method == "SETUP") {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_rotated) {
        m_rotated = true;
        m_nonce = "n0nce2";
        reason = "rotated";
      }
    }
    if (!ok || reason == "rotated") {
      if (reason != "" && reason != "rotated" && reason.compare(0, 9, "old nonce") != 0) Problem(method + ": " + reason);
      std::string nonce;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        nonce = m_nonce;
      }
      std::string challenge;
      const std::string digest = std::string("WWW-Authenticate: Digest realm=\"") + kRealm + "\", nonce=\"" + nonce + "\"";
      switch (m_quirk) {
        case Quirk::kDigestAfterBasic:
          challenge = std::string("WWW-Authenticate: Basic realm=\"") + kRealm + "\"\r\n" + digest + "\r\n";
          break;
        case Quirk::kDigestSha256:
          challenge = digest + ", qop=\"auth\", algorithm=SHA-256\r\n" + digest + ", qop=\"auth\", algorithm=MD5\r\n";
          break;
        case Quirk::kNonceRotation:
          challenge = digest + ", qop=auth" + (reason == "rotated" ? ", stale=true" : "") + "\r\n";
          break;
        default:
          challenge = digest + "\r\n";
      }
      answer("401 Unauthorized", challenge);
      return m_quirk != Quirk::kCloseAfter401;
    }
    request = WithoutHeader(request, "Authorization");
  }
  if (m_quirk == Quirk::kRedirect && method == "DESCRIBE") {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      first = !m_redirected;
      m_redirected = true;
    }
    if (first) {
      const std::string url = request.substr(request.find(' ') + 1, request.find(" RTSP/") - request.find(' ') - 1);
      const size_t path = url.find('/', 7);
      const std::string target = "rtsp://127.0.0.1:" + std::to_string(m_upstreamPort) +
                                 (path == std::string::npos ? "/" : url.substr(path));
      return answer("302 Found", "Location: " + target + "\r\n");
    }
  }
  const bool keepAlive = method == "OPTIONS" || method == "GET_PARAMETER";
  if (m_quirk == Quirk::kKeepAlive454 && keepAlive && StateOf(link).played) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      first = !m_dropped;
      m_dropped = true;
    }
    if (first) return answer("454 Session Not Found", "");
  }
  if (m_quirk == Quirk::kOptionsRefused && method == "OPTIONS" && StateOf(link).played)
    return answer("405 Method Not Allowed", "Public: DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER\r\n");
  if (method == "PLAY") StateOf(link).played = true;
  StateOf(link).methods.push_back(method);
  return link->ToServer(request);
}

void QuirkProxy::OnAnswer(Link* link, std::string answer) {
  std::string method;
  if (!StateOf(link).methods.empty()) {
    method = StateOf(link).methods.front();
    StateOf(link).methods.pop_front();
  }
  const std::string cseq = Header(answer, "CSeq");
  std::string before;
  switch (m_quirk) {
    case Quirk::kCSeqBlanks:
      answer = ReplaceAll(answer, "CSeq: " + cseq + "\r\n", "CSeq:   " + cseq + "  \r\n");
      break;
    case Quirk::kServerOptions:
      if (method == "DESCRIBE") before = "OPTIONS * RTSP/1.0\r\nCSeq: 901\r\nUser-Agent: quirkcam\r\n\r\n";
      break;
    case Quirk::kStaleAnswer:
      if (method == "DESCRIBE") before = "RTSP/1.0 200 OK\r\nCSeq: 0\r\nContent-Length: 0\r\n\r\n";
      break;
    case Quirk::kShortBody:
      if (method == "DESCRIBE") {
        const std::string length = Header(answer, "Content-Length");
        answer = ReplaceAll(answer, "Content-Length: " + length,
                            "Content-Length: " + std::to_string(atol(length.c_str()) + 40));
      }
      break;
    case Quirk::kTimeoutBlanks:
      answer = ReplaceAll(answer, ";timeout=60", "; timeout = 4");
      break;
    case Quirk::kSsrcBlanks:
      answer = ReplaceAll(answer, ";ssrc=", "; ssrc = ");
      answer = ReplaceAll(answer, ";mode=", " ;mode=");
      break;
    case Quirk::kChannelPair67:
      answer = ReplaceAll(answer, "interleaved=0-1", "interleaved=6-7");
      break;
    case Quirk::kControlAbsolutePath:
      if (method == "DESCRIBE") answer = ReplaceAll(answer, "Content-Base:", "Content-Location:");
      break;
    default:
      break;
  }
  if (method == "DESCRIBE") {
    const size_t end = answer.find("\r\n\r\n");
    const std::string body = answer.substr(end + 4);
    std::string base = Header(answer, "Content-Location");
    const size_t path = base.find('/', 7);
    base = path == std::string::npos ? "/" : base.substr(path);
    const std::string rewritten = RewriteDescription(m_quirk, body, base);
    if (rewritten != body) answer = WithBody(answer, rewritten);
  }
  if (!before.empty()) link->ToClient(before);
  link->ToClient(answer);
}

void QuirkProxy::OnFrame(Link* link, std::string frame) {
  ++StateOf(link).frames;
  switch (m_quirk) {
    case Quirk::kChannelPair67:
      frame[1] = static_cast<char>(frame[1] + 6);
      break;
    case Quirk::kRtcpOnRtpChannel:
      if (frame[1] == 1) frame[1] = 0;
      break;
    case Quirk::kGarbageBetweenFrames:
      if (StateOf(link).frames % 7 == 0) frame = std::string("\r\n\xff\xfejunk\0 $\x09", 11) + "NOT RTSP\r\n" + frame;
      break;
    case Quirk::kServerGetParameter:
      if (StateOf(link).frames % 40 == 0)
        frame += "GET_PARAMETER rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 9" + std::to_string(StateOf(link).injected++) + "\r\n\r\n";
      break;
    default:
      break;
  }
  link->ToClient(frame);
}

}  // namespace quirks
