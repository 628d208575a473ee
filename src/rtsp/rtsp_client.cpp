#include "rtsp/rtsp_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/module.h"
#include "rtsp/rtsp_method.h"
#include "rtsp/rtsp_url.h"
#include "base/text_helpers.h"
#include "base/string_format.h"
#include "threading/time.h"

namespace telvora {
namespace {

constexpr unsigned kKeepAliveCheckMs = 2000;
// A check that comes a few milliseconds before half the session time-out
// counts as due; without it a 4 s time-out would see OPTIONS only every 4 s.
constexpr unsigned kKeepAliveSlackMs = 100;
constexpr unsigned kWaitSliceMs = 100;
constexpr unsigned kStopReceiveTimeoutMs = 100;
constexpr size_t kInterleavedChunk = 8192;
constexpr size_t kResponseChunk = 4096;
constexpr int kMaxRedirects = 3;
constexpr size_t kMaxOpenRequests = 16;

bool ClockReached(uint32_t now, uint32_t target) { return static_cast<int32_t>(now - target) >= 0; }

// The method word of a request line.
std::string MethodOf(const std::string& request) { return request.substr(0, request.find(' ')); }

// The CSeq value of a message as sent, for the echo in our answer.
std::string RawCSeq(const std::string& message) {
  size_t start = message.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    const size_t end = message.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    const std::string line = message.substr(start, end - start);
    if (HeaderName(line) == "cseq") return Trim(HeaderValue(line));
    start = end;
  }
  return std::string();
}

// Whether a Public header lists a method.
bool ListsMethod(const std::string& publicMethods, const char* method) {
  for (const std::string& entry : Split(publicMethods, ',')) {
    if (Trim(entry) == method) return true;
  }
  return false;
}

}  // namespace

CBaseRTSPClient::CBaseRTSPClient(IDebugMessage* sink)
    : CBaseThread(sink),
      m_socket(INVALID_SOCKET),
      m_keepAliveStamp(0),
      m_user(nullptr),
      m_lastExchangeResult(true),
      m_lastStatus(0),
      m_keepAliveEnabled(true),
      m_transportMode(kTransportUdp),
      m_receiveLimitMs(5000),
      m_nonceCount(0),
      m_answered(false),
      m_peerClosed(false),
      m_sessionLost(false),
      m_keepAliveMethod(kRtspOptions) {}

CBaseRTSPClient::~CBaseRTSPClient() { Stop(); }

bool CBaseRTSPClient::Start(const RTSP_CONNECTION_INFO& connection, IRTSPClientUser* user, int transportMode) {
  if (IsRunning() || m_socket != INVALID_SOCKET) Stop();
  m_parser.Reset();
  m_reader.Reset();
  m_nonceCount = 0;
  m_countedNonce.clear();
  m_keepAliveStamp = 0;
  m_lastStatus = 0;
  m_connection = connection;
  m_user = user;
  m_transportMode = transportMode;
  m_receiveLimitMs = connection.receiveTimeoutMs;
  m_open.clear();
  m_answered = false;
  m_peerClosed = false;
  m_sessionLost = false;
  m_keepAliveMethod = kRtspOptions;
  SetEffectiveHost(connection.host);
  if (!Connect()) {
    Stop();
    return false;
  }
  IDebugMessage* sink = GetLogSink();
  const std::string device = sink != nullptr ? sink->GetDeviceText() : std::string();
  if (!StartThread(FormatString("RTSP Client Thread (%s)", device.c_str()))) {
    Stop();
    return false;
  }
  return true;
}

void CBaseRTSPClient::Stop() {
  {
    CAutoLock lock(m_socketLock);
    if (m_socket != INVALID_SOCKET) platform::SetReceiveTimeout(m_socket, kStopReceiveTimeoutMs);
  }
  m_receiveLimitMs = kStopReceiveTimeoutMs;
  const unsigned longer = std::max(m_connection.sendTimeoutMs, m_connection.receiveTimeoutMs);
  // Saturates instead of wrapping for absurd time-outs.
  const unsigned limit = longer > 0x7FFFFFFFu / 2 ? 0xFFFFFFFEu : 2 * longer + 1000;
  StopThread(limit);
  CloseSocket();
  m_user = nullptr;
  m_keepAliveStamp = 0;
}

std::string CBaseRTSPClient::GetEffectiveHost() const {
  CAutoLock lock(m_socketLock);
  return m_effectiveHost;
}

void CBaseRTSPClient::SetEffectiveHost(const std::string& host) {
  CAutoLock lock(m_socketLock);
  m_effectiveHost = host;
}

void CBaseRTSPClient::CloseSocket() {
  CAutoLock lock(m_socketLock);
  if (m_socket != INVALID_SOCKET) {
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
  }
}

bool CBaseRTSPClient::Connect() {
  CloseSocket();
  m_reader.Reset();
  m_open.clear();
  m_peerClosed = false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  const int buffer = static_cast<int>(std::min<uint32_t>(m_connection.receiveBufferBytes, 0x7FFFFFFF));
  uint32_t address = 0;
  bool ok = setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof(buffer)) == 0 &&
            platform::SetReceiveTimeout(s, m_connection.receiveTimeoutMs) &&
            platform::SetSendTimeout(s, m_connection.sendTimeoutMs) &&
            platform::ResolveIPv4(m_connection.host, &address);
  if (ok) {
    sockaddr_in target;
    std::memset(&target, 0, sizeof(target));
    target.sin_family = AF_INET;
    target.sin_port = htons(m_connection.serverPort);
    target.sin_addr.s_addr = address;
    // Whole 100 ms steps: below 100 ms only an immediate connect succeeds.
    ok = platform::ConnectWithTimeout(s, target, m_connection.connectTimeoutMs / 100 * 100);
  }
  if (!ok) {
    closesocket(s);
    return false;
  }
  CAutoLock lock(m_socketLock);
  m_socket = s;
  return true;
}

bool CBaseRTSPClient::Reconnect() {
  if (m_stopEvent.Wait(0)) return false;
  return Connect();
}

void CBaseRTSPClient::EndSessionCallback() {
  if (m_user == nullptr) return;
  try {
    m_user->SessionEnded();
  } catch (...) {
  }
}

void CBaseRTSPClient::Run() {
  if (!ExecuteRequest(kRtspDescribe)) {
    EndSessionCallback();
    return;
  }
  bool accepted = false;
  if (m_user != nullptr) {
    try {
      accepted = m_user->SdpInfoReceived(m_parser.sdpInfo);
    } catch (...) {
      accepted = false;
    }
  }
  if (accepted && ExecuteRequest(kRtspSetup) && !m_stopEvent.Wait(0)) {
    if (m_transportMode == kTransportInterleaved) {
      // PLAY's answer comes inside the stream. The reception ends when the
      // connection closes, falls silent or loses its session: the session
      // is over then.
      if (SendOpenRequest(kRtspPlay, false)) ReceiveInterleaved();
    } else {
      ExecuteRequest(kRtspPlay);
      WatchSession();
    }
  }
  // A server that closed the connection or forgot the session (454) has
  // nothing left to tear down.
  if (!m_peerClosed && !m_sessionLost) ExecuteRequest(kRtspTeardown);
  EndSessionCallback();
}

void CBaseRTSPClient::WatchSession() {
  uint32_t nextCheck = platform::GetMillisecondClock() + kKeepAliveCheckMs;
  while (!m_sessionLost) {
    if (m_stopEvent.Wait(0)) return;
    const uint32_t now = platform::GetMillisecondClock();
    if (ClockReached(now, nextCheck)) {
      nextCheck = now + kKeepAliveCheckMs;
      if (m_keepAliveEnabled) KeepAliveCheck(false);
      continue;
    }
    // The connection is watched between keep-alives, so a server that
    // closes it or asks something is noticed at once.
    if (m_socket == INVALID_SOCKET) return;
    const int ready = platform::WaitReadable(m_socket, kWaitSliceMs);
    if (ready == platform::kWaitTimedOut) continue;
    if (ready != platform::kWaitReady || !PumpIncoming()) {
      m_peerClosed = true;
      m_sessionLost = true;
    }
  }
}

bool CBaseRTSPClient::PumpIncoming() {
  std::vector<uint8_t> chunk(kResponseChunk);
  const int received = recv(m_socket, reinterpret_cast<char*>(chunk.data()), static_cast<int>(chunk.size()), 0);
  if (received <= 0) return false;
  CRTSPResponseReader::State state = m_reader.Append(chunk.data(), static_cast<size_t>(received));
  while (state == CRTSPResponseReader::kComplete) {
    HandleMessage(m_reader.TakeResponse(), false);
    state = m_reader.Append(nullptr, 0);
  }
  if (state != CRTSPResponseReader::kNeedMore) {
    WarnLimit(state, "telvora::CBaseRTSPClient::PumpIncoming");
    m_reader.Reset();
  }
  return true;
}

void CBaseRTSPClient::KeepAliveCheck(bool interleaved) {
  const uint64_t seconds = m_parser.sessionTimeout != 0 ? m_parser.sessionTimeout : m_connection.defaultSessionTimeoutS;
  const uint64_t half = (seconds * 1000) >> 1;
  // No stamp yet: the first keep-alive is due at the first check.
  if (m_keepAliveStamp != 0 && GetMonotonicMilliseconds() - m_keepAliveStamp + kKeepAliveSlackMs <= half) return;
  if (interleaved) {
    // A keep-alive still open from last time drew no answer.
    for (const OpenRequest& open : m_open) {
      if (open.method == kRtspOptions || open.method == kRtspGetParameter) {
        KeepAliveFailed();
        break;
      }
    }
    // The answer comes inside the stream (MessageParsed).
    m_lastExchangeResult = SendOpenRequest(m_keepAliveMethod, false);
  } else {
    const bool ok = ExecuteRequest(m_keepAliveMethod);
    if (m_answered && m_parser.status == 454) {
      m_sessionLost = true;
    } else if (!ok) {
      if (!m_answered && m_peerClosed) {
        m_sessionLost = true;
      } else if (KeepAliveFailed()) {
        ExecuteRequest(m_keepAliveMethod);
        if (m_answered && m_parser.status == 454) m_sessionLost = true;
      }
    }
  }
  // Monotonic, so a step of the wall clock neither hurries nor holds back a keep-alive.
  m_keepAliveStamp = GetMonotonicMilliseconds();
}

bool CBaseRTSPClient::KeepAliveFailed() {
  // Some servers refuse OPTIONS within a session, others GET_PARAMETER.
  const int other = m_keepAliveMethod == kRtspOptions ? kRtspGetParameter : kRtspOptions;
  if (!ListsMethod(m_parser.publicMethods, RtspMethodName(other))) return false;
  m_keepAliveMethod = other;
  return true;
}

bool CBaseRTSPClient::ExecuteRequest(int method) {
  if (method != kRtspTeardown && m_stopEvent.Wait(0)) return false;
  bool retried = false;
  bool reconnected = false;
  int redirects = 0;
  for (;;) {
    bool ok = SendRequest(method);
    m_lastExchangeResult = ok;
    // An error answer counts too: the channel reports why a session failed.
    // The TEARDOWN after a refused SETUP must not hide the refusal.
    if (method != kRtspTeardown) m_lastStatus = ok || m_answered ? static_cast<int>(m_parser.status) : 0;
    if (!ok && m_answered && m_parser.IsRedirect() && redirects < kMaxRedirects) {
      ++redirects;
      if (!FollowRedirect()) return false;
      continue;
    }
    if (ok && m_parser.status == 401 && !retried &&
        (m_parser.challenge.scheme != kAuthNone || m_parser.challenge.scheme != m_connection.authScheme)) {
      // Once per request: the first challenge, a new nonce, or stale=true.
      retried = true;
      m_connection.authScheme = m_parser.challenge.scheme;
      if (m_parser.connectionClose || m_peerClosed) {
        if (!Reconnect()) return false;
        reconnected = true;
      }
      continue;
    }
    // A server that closes after its 401 without saying so: the repeat
    // met a dead connection. Once more on a new one.
    if (!ok && retried && !reconnected && !m_answered && m_peerClosed) {
      reconnected = true;
      if (!Reconnect()) return false;
      continue;
    }
    return ok && m_parser.status >= 200 && m_parser.status <= 299;
  }
}

bool CBaseRTSPClient::FollowRedirect() {
  std::string host, path;
  uint16_t port = 0;
  if (!ResolveRedirect(m_parser.location, m_connection.host, m_connection.serverPort, &host, &port, &path))
    return false;
  const bool sameServer = host == m_connection.host && port == m_connection.serverPort;
  m_connection.host = host;
  m_connection.serverPort = port;
  m_connection.path = path;
  m_parser.contentBase.clear();
  m_parser.contentLocation.clear();
  if (!sameServer) {
    m_connection.authScheme = kAuthNone;
    m_parser.sessionId.clear();
  }
  SetEffectiveHost(host);
  IDebugMessage* sink = GetLogSink();
  if (sink != nullptr)
    sink->Log(3, "%s: %s redirects the RTSP session to %s:%u", "telvora::CBaseRTSPClient::FollowRedirect",
              sink->GetDeviceText().c_str(), host.c_str(), static_cast<unsigned>(port));
  return Reconnect();
}

bool CBaseRTSPClient::SendText(const std::string& text) {
  if (m_socket == INVALID_SOCKET || text.empty() || text.size() > 0x7FFFFFFF) return false;
  const int length = static_cast<int>(text.size());
  return platform::SendSome(m_socket, reinterpret_cast<const unsigned char*>(text.data()), length) == length;
}

bool CBaseRTSPClient::SendOpenRequest(int method, bool retried) {
  if (!SendText(FormatRequest(method))) {
    m_peerClosed = true;
    return false;
  }
  if (m_open.size() >= kMaxOpenRequests) m_open.pop_front();
  m_open.push_back(OpenRequest{m_parser.cseq, method, retried});
  return true;
}

bool CBaseRTSPClient::SendRequest(int method) {
  m_answered = false;
  if (m_socket == INVALID_SOCKET) return false;
  if (!SendOpenRequest(method, false)) return false;
  std::string response;
  ReadResponse(response);
  if (response.empty()) return false;
  m_answered = true;
  return m_parser.Parse(method, response);
}

void CBaseRTSPClient::ReadResponse(std::string& response) {
  response.clear();
  const uint32_t awaited = m_parser.cseq;
  const uint32_t start = platform::GetMillisecondClock();
  std::vector<uint8_t> chunk(kResponseChunk);
  CRTSPResponseReader::State state = m_reader.Append(nullptr, 0);
  for (;;) {
    while (state == CRTSPResponseReader::kComplete) {
      std::string message = m_reader.TakeResponse();
      state = m_reader.Append(nullptr, 0);
      if (IsServerRequest(message)) {
        AnswerServerRequest(message);
        continue;
      }
      uint32_t cseq = 0;
      const bool hasCSeq = ResponseCSeq(message, &cseq);
      // Without a CSeq an answer belongs to the oldest open request.
      if (!hasCSeq) cseq = m_open.empty() ? awaited : m_open.front().cseq;
      if (cseq < awaited) {
        HandleMessage(message, false);
        continue;
      }
      // Ours. A CSeq we never sent is taken as ours too, as cameras that
      // count on their own expect.
      m_open.clear();
      response.swap(message);
      return;
    }
    if (state != CRTSPResponseReader::kNeedMore) break;
    // The whole answer must arrive within the receive time-out, so a server
    // trickling bytes cannot hold the session.
    const uint32_t elapsed = platform::GetMillisecondClock() - start;
    const unsigned limit = m_receiveLimitMs.load();
    if (elapsed >= limit) break;
    const int ready = platform::WaitReadable(m_socket, std::min<unsigned>(limit - elapsed, kWaitSliceMs));
    if (ready == platform::kWaitTimedOut) continue;
    if (ready != platform::kWaitReady) {
      m_peerClosed = true;
      break;
    }
    // Whole chunks: bytes past the answer stay in the reader for the next one.
    const int received = recv(m_socket, reinterpret_cast<char*>(chunk.data()), static_cast<int>(chunk.size()), 0);
    if (received <= 0) {
      m_peerClosed = true;
      break;
    }
    state = m_reader.Append(chunk.data(), static_cast<size_t>(received));
  }
  if (state == CRTSPResponseReader::kNeedMore) {
    // A body cut short by a close or by time is used as it came.
    response = m_reader.TakePartial();
    if (!response.empty()) {
      m_open.clear();
      return;
    }
  }
  WarnLimit(state, "telvora::CBaseRTSPClient::ReadResponse");
  // Whatever arrived belongs to no usable answer.
  m_reader.Reset();
}

void CBaseRTSPClient::HandleMessage(const std::string& message, bool inStream) {
  if (IsServerRequest(message)) {
    AnswerServerRequest(message);
    return;
  }
  if (m_open.empty()) return;  // an answer to nothing we still wait for
  uint32_t cseq = 0;
  const bool hasCSeq = ResponseCSeq(message, &cseq);
  OpenRequest request = m_open.front();
  if (hasCSeq) {
    auto it = std::find_if(m_open.begin(), m_open.end(), [cseq](const OpenRequest& r) { return r.cseq == cseq; });
    if (it == m_open.end()) return;
    request = *it;
    m_open.erase(m_open.begin(), it + 1);
  } else {
    m_open.pop_front();
  }
  // A late answer to a request we gave up on changes nothing; inside the
  // stream, where nobody waits for them, answers are acted on here.
  if (!inStream) return;
  const bool ok = m_parser.Parse(request.method, message);
  const uint32_t status = m_parser.status;
  const bool keepAlive = request.method == kRtspOptions || request.method == kRtspGetParameter;
  if (ok && status == 401 && !request.retried && m_parser.challenge.scheme != kAuthNone) {
    m_connection.authScheme = m_parser.challenge.scheme;
    SendOpenRequest(request.method, true);
    return;
  }
  if (keepAlive && status == 454) {
    m_sessionLost = true;
    return;
  }
  if (keepAlive && !(ok && status >= 200 && status <= 299) && KeepAliveFailed())
    SendOpenRequest(m_keepAliveMethod, false);
}

void CBaseRTSPClient::AnswerServerRequest(const std::string& request) {
  const std::string method = MethodOf(request);
  const bool known = method == "OPTIONS" || method == "GET_PARAMETER";
  std::string answer = known ? "RTSP/1.0 200 OK\r\n" : "RTSP/1.0 501 Not Implemented\r\n";
  const std::string cseq = RawCSeq(request);
  if (!cseq.empty()) answer += "CSeq: " + cseq + "\r\n";
  if (known && method == "OPTIONS") answer += "Public: OPTIONS, GET_PARAMETER\r\n";
  answer += "\r\n";
  SendText(answer);
}

void CBaseRTSPClient::WarnLimit(CRTSPResponseReader::State state, const char* function) {
  IDebugMessage* sink = GetLogSink();
  if (sink == nullptr) return;
  if (state == CRTSPResponseReader::kHeaderLimit) {
    sink->Log(2, "%s: RTSP response headers from %s exceed %u bytes; the response is refused",
              function, sink->GetDeviceText().c_str(), static_cast<unsigned>(CRTSPResponseReader::kMaxHeaderBytes));
  } else if (state == CRTSPResponseReader::kBodyLimit) {
    sink->Log(2, "%s: RTSP response body from %s exceeds %u bytes; the response is refused",
              function, sink->GetDeviceText().c_str(), static_cast<unsigned>(CRTSPResponseReader::kMaxBodyBytes));
  }
}

bool CBaseRTSPClient::ReceiveInterleaved() {
  CRTSPStreamParser parser(this, m_parser.rtpChannel, m_parser.rtcpChannel);
  // Bytes read past the last answer are the start of the stream.
  const std::string early = m_reader.TakeBuffered();
  if (!early.empty()) parser.Feed(reinterpret_cast<const uint8_t*>(early.data()), early.size());
  std::vector<uint8_t> chunk(kInterleavedChunk);
  uint32_t lastData = platform::GetMillisecondClock();
  uint32_t nextCheck = lastData + kKeepAliveCheckMs;
  for (;;) {
    if (m_stopEvent.Wait(0)) return false;
    if (m_sessionLost) return true;
    const uint32_t now = platform::GetMillisecondClock();
    if (ClockReached(now, nextCheck)) {
      nextCheck = now + kKeepAliveCheckMs;
      if (m_keepAliveEnabled) KeepAliveCheck(true);
    }
    if (now - lastData >= m_receiveLimitMs.load()) return true;
    const int ready = platform::WaitReadable(m_socket, kWaitSliceMs);
    if (ready == platform::kWaitTimedOut) continue;
    if (ready != platform::kWaitReady) {
      m_peerClosed = true;
      return true;
    }
    const int received = recv(m_socket, reinterpret_cast<char*>(chunk.data()), static_cast<int>(chunk.size()), 0);
    if (received <= 0) {
      m_peerClosed = true;
      return true;
    }
    if (m_stopEvent.Wait(0)) return false;
    parser.Feed(chunk.data(), static_cast<size_t>(received));
    // Silence is the socket's: time the host spent on a frame inside Feed
    // does not count.
    lastData = platform::GetMillisecondClock();
  }
}

void CBaseRTSPClient::PacketParsed(CRTPPacket& packet) {
  if (m_user == nullptr) return;
  try {
    m_user->RtpPacketReceived(packet);
  } catch (...) {
  }
}

void CBaseRTSPClient::ByeParsed() {
  m_stopEvent.Set();
  if (m_user == nullptr) return;
  try {
    m_user->ByeReceived();
  } catch (...) {
  }
}

void CBaseRTSPClient::MessageParsed(const std::string& message) { HandleMessage(message, true); }

}  // namespace telvora
