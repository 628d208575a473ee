#include "rtp/udp_client.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/string_format.h"

namespace telvora {
namespace {

constexpr unsigned kMaxDatagram = 0xFFFF;
// A 1080p key frame is about a hundred datagrams sent at once; 64 KiB of
// socket buffer loses part of it whenever the receive thread is a moment
// late, and with it everything up to the next key frame. The system caps
// the request at its own limit.
constexpr unsigned kSocketReceiveBuffer = 2u * 1024u * 1024u;
constexpr unsigned kSocketReceiveTimeout = 5000;
constexpr unsigned kSocketSendTimeout = 1000;
constexpr unsigned kDrainCalls = 100;

bool SetIntOption(SOCKET s, int level, int option, int value) {
  return setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof(value)) == 0;
}

void ChangeMembership(SOCKET s, int option, uint32_t group) {
  ip_mreq request;
  std::memset(&request, 0, sizeof(request));
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  setsockopt(s, IPPROTO_IP, option, reinterpret_cast<const char*>(&request), sizeof(request));
}

}  // namespace

CUDPClient::CUDPClient(IDebugMessage* sink)
    : CBaseThread(sink),
      m_user(nullptr),
      m_socket(INVALID_SOCKET),
      m_port(0),
      m_bufferSize(8192),
      m_timeoutSeconds(2),
      m_timeoutMicroseconds(0),
      m_group(INADDR_NONE),
      m_socketTimeout(0) {}

CUDPClient::~CUDPClient() { CUDPClient::Close(); }

bool CUDPClient::Open(IRTPClientUser* user, unsigned short port) { return OpenWith(user, INADDR_NONE, port); }

bool CUDPClient::OpenMulticast(IRTPClientUser* user, const std::string& group, unsigned short port) {
  const uint32_t address = group.empty() ? INADDR_NONE : inet_addr(group.c_str());
  if (address == INADDR_NONE) {
    Close();
    return false;
  }
  return OpenWith(user, address, port);
}

bool CUDPClient::OpenWith(IRTPClientUser* user, uint32_t group, unsigned short port) {
  if (user != nullptr) {
    CAutoLock lock(m_lock);
    m_user = user;
    OPEN_PARAMETERS parameters;
    parameters.group = group;
    parameters.port = port;
    parameters.receiveBuffer = kSocketReceiveBuffer;
    parameters.receiveTimeout = kSocketReceiveTimeout;
    parameters.sendTimeout = kSocketSendTimeout;
    if (SetUpSocket(parameters) && StartThread(FormatString("UDP client thread, port %u", m_port.load())))
      return true;
  }
  Close();
  return false;
}

bool CUDPClient::SetUpSocket(const OPEN_PARAMETERS& parameters) {
  if (m_socket != INVALID_SOCKET) return false;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;

  bool ok = true;
  if (parameters.group != INADDR_NONE) ok = SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
  const unsigned receiveBuffer = parameters.receiveBuffer != 0 ? parameters.receiveBuffer : 0xFFFF;
  ok = ok && SetIntOption(s, SOL_SOCKET, SO_RCVBUF, static_cast<int>(receiveBuffer));
  if (ok && parameters.receiveTimeout != 0) ok = platform::SetReceiveTimeout(s, parameters.receiveTimeout);
  if (ok && parameters.sendTimeout != 0) ok = platform::SetSendTimeout(s, parameters.sendTimeout);

  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(parameters.port);
  ok = ok && bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
  if (!ok) {
    closesocket(s);
    return false;
  }

  unsigned short port = parameters.port;
  if (port == 0) {
    // A free port was asked for: report the one the system chose.
    sockaddr_in bound;
    socklen_t length = sizeof(bound);
    std::memset(&bound, 0, sizeof(bound));
    if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) == 0) port = ntohs(bound.sin_port);
  }
  m_socket = s;
  m_port = port;
  m_socketTimeout = std::max(parameters.receiveTimeout, parameters.sendTimeout);
  if (parameters.group == INADDR_NONE) return true;

  ip_mreq request;
  std::memset(&request, 0, sizeof(request));
  request.imr_multiaddr.s_addr = parameters.group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request), sizeof(request)) != 0)
    return false;  // the socket stays stored; the caller's Close() releases it
  platform::ReceiveOwnGroupsOnly(s);
  m_group = parameters.group;
  return true;
}

bool CUDPClient::Close() {
  m_stopEvent.Set();
  SOCKET closing = INVALID_SOCKET;
  bool joined;
  {
    CAutoLock lock(m_lock);
    closing = m_socket;
    if (closing != INVALID_SOCKET) {
      if (m_group != INADDR_NONE) {
        ChangeMembership(closing, IP_DROP_MEMBERSHIP, m_group);
        m_group = INADDR_NONE;
      }
      // Winsock leaves a select waiting after a shutdown: one byte to our
      // own port ends that wait at once (the thread sees the stop and drops
      // it; any other socket sharing the port refuses a 1-byte packet).
      if (!platform::ShutdownWakesBlockedReceive()) {
        sockaddr_in self;
        std::memset(&self, 0, sizeof(self));
        self.sin_family = AF_INET;
        self.sin_port = htons(m_port.load());
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const unsigned char wake = 0;
        platform::SendSomeTo(closing, &wake, 1, reinterpret_cast<const sockaddr*>(&self), sizeof(self));
      }
      // Ends the receive thread's wait where the platform allows.
      shutdown(closing, SD_BOTH);
      m_socket = INVALID_SOCKET;
      m_port = 0;
    }
    const unsigned limit = std::max(std::max(TimeoutMilliseconds(), m_socketTimeout) + 1000, 5000u);
    joined = JoinThread(limit);
  }
  if (closing == INVALID_SOCKET) return joined;

  // Discard what is still queued in the socket, without ever blocking.
  platform::SetNonBlocking(closing, true);
  unsigned char scratch[1500];
  for (unsigned i = 0; i < kDrainCalls; ++i) {
    sockaddr_in from;
    socklen_t fromLength = sizeof(from);
    if (recvfrom(closing, reinterpret_cast<char*>(scratch), sizeof(scratch), 0, reinterpret_cast<sockaddr*>(&from),
                 &fromLength) <= 0)
      break;
  }
  closesocket(closing);
  NotifyClosed();
  return joined;
}

void CUDPClient::NotifyClosed() {
  IRTPClientUser* user = m_user;
  if (user == nullptr) return;
  try {
    user->ClientClosed(this);
  } catch (...) {
  }
}

void CUDPClient::SetBufferSize(unsigned bytes) { m_bufferSize = bytes; }

void CUDPClient::SetTimeout(unsigned milliseconds) {
  m_timeoutSeconds = milliseconds / 1000;
  m_timeoutMicroseconds = (milliseconds % 1000) * 1000;
}

unsigned short CUDPClient::GetPort() { return m_port; }

bool CUDPClient::IsOpen() { return m_socket != INVALID_SOCKET; }

bool CUDPClient::SendTo(const sockaddr* to, const unsigned char* data, unsigned length) {
  // Under the lock, so that Close() cannot release the descriptor (and the
  // system hand the number to another socket) in the middle of a send.
  CAutoLock lock(m_lock);
  const SOCKET s = m_socket;
  if (s == INVALID_SOCKET || to == nullptr) return false;
  unsigned sent = 0;
  while (sent < length) {
    const int n = platform::SendSomeTo(s, data + sent, static_cast<int>(length - sent), to, sizeof(sockaddr_in));
    if (n <= 0) return false;
    sent += static_cast<unsigned>(n);
  }
  return true;
}

unsigned CUDPClient::TimeoutMilliseconds() const {
  return m_timeoutSeconds.load() * 1000 + m_timeoutMicroseconds.load() / 1000;
}

bool CUDPClient::ContinueAfterError(int error) {
  // A descriptor that is no socket will never become one; waiting on it
  // again would only spin.
  if (error == WSAEFAULT || error == WSAENETDOWN || error == WSANOTINITIALISED || error == WSAENOTSOCK ||
      error == WSAEBADF) {
    IRTPClientUser* user = m_user;
    if (user != nullptr) {
      try {
        user->ClientClosed(this);
      } catch (...) {
      }
    }
    return false;
  }
  if (error == WSAEINVAL) return false;
  // Anything else (an interrupted wait) is retried, but not in a tight loop.
  m_stopEvent.Wait(10);
  return !StopRequested();
}

void CUDPClient::NotifyTimeout() {
  IRTPClientUser* user = m_user;
  if (user == nullptr || StopRequested()) return;
  try {
    user->ReceiveTimeout(this);
  } catch (...) {
  }
}

bool CUDPClient::WaitUntilReadable(SOCKET s) {
  while (!StopRequested()) {
    const int result = platform::WaitReadable(s, TimeoutMilliseconds());
    if (result > 0) return !StopRequested();
    if (result == platform::kWaitTimedOut) {
      NotifyTimeout();
      continue;
    }
    if (!ContinueAfterError(WSAGetLastError())) return false;
  }
  return false;
}

void CUDPClient::Run() {
  const SOCKET s = m_socket;
  if (s == INVALID_SOCKET) return;
  // Every datagram is received whole, from the first one on, whatever size
  // the user asked for: cameras that send large RTP packets lose nothing.
  // Left uninitialised: only the pages datagrams really reach become
  // resident, one for a camera that sends 1500-byte packets.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kMaxDatagram]);
  if (!buffer) return;
  // One system call per datagram where the platform lets a shutdown end a
  // blocked receive; a poll before each receive elsewhere.
  const bool waitInReceive = platform::ShutdownWakesBlockedReceive();
  unsigned appliedTimeout = 0;
  for (;;) {
    if (waitInReceive) {
      if (StopRequested()) return;
      // SO_RCVTIMEO 0 would mean no time-out at all.
      const unsigned timeout = std::max(1u, TimeoutMilliseconds());
      if (timeout != appliedTimeout && platform::SetReceiveTimeout(s, timeout)) appliedTimeout = timeout;
    } else if (!WaitUntilReadable(s)) {
      return;
    }
    sockaddr_in from;
    std::memset(&from, 0, sizeof(from));
    socklen_t fromLength = sizeof(from);
    const int n = platform::ReceiveFrom(s, buffer.get(), static_cast<int>(kMaxDatagram),
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n > 0) {
      IRTPClientUser* user = m_user;
      if (user != nullptr && !StopRequested()) {
        try {
          user->DataReceived(this, reinterpret_cast<const sockaddr*>(&from), buffer.get(), n);
        } catch (...) {
        }
      }
      continue;
    }
    // 0: an empty datagram, or the shutdown of Close, which the stop check
    // at the top of the loop ends.
    if (n == 0) continue;
    const int error = WSAGetLastError();
    if (error == WSAEMSGSIZE) {
      // Not possible over IPv4; said once per datagram all the same.
      IDebugMessage* sink = GetLogSink();
      if (sink != nullptr)
        sink->Log(2, "%s: A datagram from device %s on port %u was larger than %u bytes and was lost",
                  "telvora::CUDPClient::Run", sink->GetDeviceText().c_str(), static_cast<unsigned>(m_port.load()),
                  kMaxDatagram);
      continue;
    }
    // After a poll said readable, a failed receive is retried by the next wait.
    if (!waitInReceive || error == WSAEINTR) continue;
    if (error == WSAEWOULDBLOCK) {
      NotifyTimeout();
      continue;
    }
    if (!ContinueAfterError(error)) return;
  }
}

}  // namespace telvora
