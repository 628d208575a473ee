#include "rtsp/rtsp_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/module.h"
#include "rtsp/rtsp_method.h"
#include "threading/string_format.h"
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

bool ClockReached(uint32_t now, uint32_t target) { return static_cast<int32_t>(now - target) >= 0; }

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
      m_nonceCount(0) {}

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
  if (m_socket != INVALID_SOCKET) platform::SetReceiveTimeout(m_socket, kStopReceiveTimeoutMs);
  m_receiveLimitMs = kStopReceiveTimeoutMs;
  const unsigned longer = std::max(m_connection.sendTimeoutMs, m_connection.receiveTimeoutMs);
  // Saturates instead of wrapping for absurd time-outs.
  const unsigned limit = longer > 0x7FFFFFFFu / 2 ? 0xFFFFFFFEu : 2 * longer + 1000;
  StopThread(limit);
  CloseSocket();
  m_user = nullptr;
  m_keepAliveStamp = 0;
}

void CBaseRTSPClient::CloseSocket() {
  if (m_socket != INVALID_SOCKET) {
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
  }
}

bool CBaseRTSPClient::Connect() {
  CloseSocket();
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
  m_socket = s;
  return true;
}

void CBaseRTSPClient::Run() {
  if (!ExecuteRequest(kRtspDescribe)) {
    if (m_user != nullptr) {
      try {
        m_user->SessionEnded();
      } catch (...) {
      }
    }
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
  if (accepted && ExecuteRequest(kRtspSetup)) {
    if (!m_stopEvent.Wait(0)) ExecuteRequest(kRtspPlay);
    for (;;) {
      CEvent* events[] = {&m_stopEvent};
      if (CEvent::WaitForMultiple(events, 1, kKeepAliveCheckMs) == 0) break;
      if (m_keepAliveEnabled) KeepAliveCheck(false);
    }
  }
  ExecuteRequest(kRtspTeardown);
  if (m_user != nullptr) {
    try {
      m_user->SessionEnded();
    } catch (...) {
    }
  }
}

void CBaseRTSPClient::KeepAliveCheck(bool interleaved) {
  const uint64_t seconds = m_parser.sessionTimeout != 0 ? m_parser.sessionTimeout : m_connection.defaultSessionTimeoutS;
  const uint64_t half = (seconds * 1000) >> 1;
  // No stamp yet: the first OPTIONS is due at the first check.
  if (m_keepAliveStamp != 0 && GetMillisecondsSince(m_keepAliveStamp) + kKeepAliveSlackMs <= half) return;
  if (interleaved) {
    // The answer comes inside the stream, where the stream parser skips it.
    m_lastExchangeResult = SendText(FormatRequest(kRtspOptions));
  } else {
    ExecuteRequest(kRtspOptions);
  }
  m_keepAliveStamp = GetCurrentFileTime();
}

bool CBaseRTSPClient::ExecuteRequest(int method) {
  if (method != kRtspTeardown && m_stopEvent.Wait(0)) return false;
  bool ok = SendRequest(method);
  m_lastExchangeResult = ok;
  m_lastStatus = ok ? static_cast<int>(m_parser.status) : 0;
  if (ok && m_parser.status == 401 && m_parser.challenge.scheme != m_connection.authScheme) {
    m_connection.authScheme = m_parser.challenge.scheme;
    ok = SendRequest(method);
    m_lastExchangeResult = ok;
    m_lastStatus = ok ? static_cast<int>(m_parser.status) : 0;
  }
  return ok && m_parser.status >= 200 && m_parser.status <= 299;
}

bool CBaseRTSPClient::SendText(const std::string& text) {
  if (m_socket == INVALID_SOCKET || text.empty() || text.size() > 0x7FFFFFFF) return false;
  const int length = static_cast<int>(text.size());
  return platform::SendSome(m_socket, reinterpret_cast<const unsigned char*>(text.data()), length) == length;
}

bool CBaseRTSPClient::SendRequest(int method) {
  if (m_socket == INVALID_SOCKET) return false;
  if (!SendText(FormatRequest(method))) return false;
  if (method == kRtspPlay && m_transportMode == kTransportInterleaved) return ReceiveInterleaved();
  std::string response;
  ReadResponse(response);
  if (response.empty()) return false;
  return m_parser.Parse(method, response);
}

void CBaseRTSPClient::ReadResponse(std::string& response) {
  response.clear();
  const uint32_t start = platform::GetMillisecondClock();
  std::vector<uint8_t> chunk(kResponseChunk);
  CRTSPResponseReader::State state = m_reader.Append(nullptr, 0);
  while (state == CRTSPResponseReader::kNeedMore) {
    // The whole answer must arrive within the receive time-out, so a server
    // trickling bytes cannot hold the session.
    const uint32_t elapsed = platform::GetMillisecondClock() - start;
    const unsigned limit = m_receiveLimitMs.load();
    if (elapsed >= limit) break;
    const int ready = platform::WaitReadable(m_socket, std::min<unsigned>(limit - elapsed, kWaitSliceMs));
    if (ready == platform::kWaitTimedOut) continue;
    if (ready != platform::kWaitReady) break;
    // Whole chunks: bytes past the answer stay in the reader for the next one.
    const int received = recv(m_socket, reinterpret_cast<char*>(chunk.data()), static_cast<int>(chunk.size()), 0);
    if (received <= 0) break;
    state = m_reader.Append(chunk.data(), static_cast<size_t>(received));
  }
  if (state == CRTSPResponseReader::kComplete) {
    response = m_reader.TakeResponse();
    return;
  }
  WarnLimit(state);
  // Whatever arrived belongs to no usable answer.
  m_reader.Reset();
}

void CBaseRTSPClient::WarnLimit(CRTSPResponseReader::State state) {
  IDebugMessage* sink = GetLogSink();
  if (sink == nullptr) return;
  if (state == CRTSPResponseReader::kHeaderLimit) {
    sink->Log(2, "%s: RTSP response headers from %s exceed %u bytes; the response is refused",
              "telvora::CBaseRTSPClient::ReadResponse", sink->GetDeviceText().c_str(),
              static_cast<unsigned>(CRTSPResponseReader::kMaxHeaderBytes));
  } else if (state == CRTSPResponseReader::kBodyLimit) {
    sink->Log(2, "%s: RTSP response body from %s exceeds %u bytes; the response is refused",
              "telvora::CBaseRTSPClient::ReadResponse", sink->GetDeviceText().c_str(),
              static_cast<unsigned>(CRTSPResponseReader::kMaxBodyBytes));
  }
}

bool CBaseRTSPClient::ReceiveInterleaved() {
  CRTSPStreamParser parser(this, m_parser.rtpChannel);
  // Bytes read past the last answer are the start of the stream.
  const std::string early = m_reader.TakeBuffered();
  if (!early.empty()) parser.Feed(reinterpret_cast<const uint8_t*>(early.data()), early.size());
  std::vector<uint8_t> chunk(kInterleavedChunk);
  uint32_t lastData = platform::GetMillisecondClock();
  uint32_t nextCheck = lastData + kKeepAliveCheckMs;
  for (;;) {
    if (m_stopEvent.Wait(0)) return false;
    const uint32_t now = platform::GetMillisecondClock();
    if (ClockReached(now, nextCheck)) {
      nextCheck = now + kKeepAliveCheckMs;
      if (m_keepAliveEnabled) KeepAliveCheck(true);
    }
    if (now - lastData >= m_receiveLimitMs.load()) return true;
    const int ready = platform::WaitReadable(m_socket, kWaitSliceMs);
    if (ready == platform::kWaitTimedOut) continue;
    if (ready != platform::kWaitReady) return true;
    const int received = recv(m_socket, reinterpret_cast<char*>(chunk.data()), static_cast<int>(chunk.size()), 0);
    if (received <= 0) return true;
    lastData = platform::GetMillisecondClock();
    if (m_stopEvent.Wait(0)) return false;
    parser.Feed(chunk.data(), static_cast<size_t>(received));
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

}  // namespace telvora
