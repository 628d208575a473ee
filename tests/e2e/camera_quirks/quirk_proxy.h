// A TCP proxy on 127.0.0.1 in front of the test camera that makes it behave
// like one of the real cameras the RTSP client must cope with: it asks for
// credentials its own way, rewrites answers, descriptions and transports,
// talks first, redirects, drops sessions, or spoils the interleaved stream.
// It takes the requests and answers apart whole; '$' frames pass through
// (or are changed) one by one.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/tcp_proxy.h"

namespace quirks {

enum class Quirk {
  kDigestAfterBasic,     // 401 offering Basic first, then Digest MD5
  kDigestSha256,         // 401 offering Digest SHA-256 (qop) before MD5
  kNonceRotation,        // a new nonce with stale=true on the first SETUP
  kCloseAfter401,        // the connection closes after each 401
  kCSeqBlanks,           // "CSeq:  3 " in every answer
  kServerOptions,        // an OPTIONS from the server ahead of the DESCRIBE answer
  kStaleAnswer,          // an answer to CSeq 0 ahead of the DESCRIBE answer
  kShortBody,            // Content-Length of the description 40 bytes too long
  kRedirect,             // 302 to the camera itself, another port
  kKeepAlive454,         // the first keep-alive is answered 454
  kOptionsRefused,       // OPTIONS after PLAY refused with 405, GET_PARAMETER listed
  kTimeoutBlanks,        // "timeout = 4" in the Session header
  kSdpOddLines,          // lines that do not read, at session level and in the video section
  kSdpVideoNotFirst,     // audio and an unsupported video section before the real one
  kControlAbsolutePath,  // a=control:/path/stream=0 and Content-Location for Content-Base
  kSpropReordered,       // PPS before SPS, each with an Annex B start code
  kSsrcBlanks,           // "ssrc = ... " and server_port=0-1 style blanks in Transport
  kChannelPair67,        // interleaved channels 6-7 instead of 0-1
  kGarbageBetweenFrames, // bytes that are neither frame nor message between frames
  kRtcpOnRtpChannel,     // RTCP frames moved to the RTP channel
  kServerGetParameter,   // GET_PARAMETER from the server between interleaved frames
};

const char* QuirkName(Quirk quirk);
// Whether a quirk only makes sense with RTP interleaved in the connection.
bool InterleavedOnly(Quirk quirk);
// Whether the camera then asks for the credentials below.
bool NeedsCredentials(Quirk quirk);
constexpr const char* kUser = "admin";
constexpr const char* kPassword = "s3cret";

class QuirkProxy {
 public:
  QuirkProxy(Quirk quirk, uint16_t upstreamPort);

  uint16_t Port() const { return m_proxy.Port(); }
  // What the proxy saw that shows the client coped with the quirk; empty
  // when all went right. Examples: a wrong Digest answer, no reply to the
  // server's request, a keep-alive never switched.
  std::vector<std::string> Problems() const;
  // Counters for the test's own checks.
  unsigned Connections() const { return m_proxy.Connections(); }
  unsigned Count(const std::string& method) const;
  unsigned RepliesToServerRequests() const { return m_replies.load(); }

 private:
  using Link = telvora::test::ProxyLink;
  struct LinkState;
  static LinkState& StateOf(Link* link);
  bool FromClient(Link* link, std::string& pending);
  bool FromServer(Link* link, std::string& pending);
  // Handles one whole request; false closes the connection.
  bool OnRequest(Link* link, std::string request);
  void OnAnswer(Link* link, std::string answer);
  void OnFrame(Link* link, std::string frame);
  bool Authorized(Link* link, const std::string& request, std::string* reason);
  void Problem(const std::string& what);

  Quirk m_quirk;
  uint16_t m_upstreamPort;
  std::atomic<unsigned> m_replies{0};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_problems;
  std::vector<std::string> m_methods;
  // Shared by all connections.
  bool m_rotated = false;
  bool m_redirected = false;
  bool m_dropped = false;
  std::string m_nonce = "n0nce1";
  telvora::test::TcpProxy m_proxy;  // last: its threads end before the rest goes
};

}  // namespace quirks
