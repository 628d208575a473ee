#include "platform/sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>

#include <cstring>

namespace telvora {
namespace platform {
namespace {

bool SetTimeoutOption(SOCKET s, int option, unsigned milliseconds) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  return setsockopt(s, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

int PollOne(SOCKET s, short events, unsigned milliseconds) {
  if (s == INVALID_SOCKET) {
    errno = EBADF;
    return SOCKET_ERROR;
  }
  pollfd pfd;
  pfd.fd = s;
  pfd.events = events;
  pfd.revents = 0;
  const int timeout = milliseconds > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(milliseconds);
  const int result = ::poll(&pfd, 1, timeout);
  if (result < 0) return SOCKET_ERROR;
  if (result == 0) return kWaitTimedOut;
  if (pfd.revents & POLLNVAL) {
    errno = EBADF;
    return SOCKET_ERROR;
  }
  // Errors and hang-ups are "ready": the next call reports what happened.
  return kWaitReady;
}

}  // namespace

bool SetReceiveTimeout(SOCKET s, unsigned milliseconds) { return SetTimeoutOption(s, SO_RCVTIMEO, milliseconds); }

bool SetSendTimeout(SOCKET s, unsigned milliseconds) { return SetTimeoutOption(s, SO_SNDTIMEO, milliseconds); }

bool SetNonBlocking(SOCKET s, bool nonBlocking) {
  const int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || fcntl(s, F_SETFL, wanted) == 0;
}

bool ReceiveOwnGroupsOnly(SOCKET s) {
#ifdef IP_MULTICAST_ALL
  const int off = 0;
  return setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off)) == 0;
#else
  (void)s;
  return true;
#endif
}

int WaitReadable(SOCKET s, unsigned milliseconds) { return PollOne(s, POLLIN, milliseconds); }

int WaitWritable(SOCKET s, unsigned milliseconds) { return PollOne(s, POLLOUT, milliseconds); }

bool ShutdownWakesBlockedReceive() {
#ifdef __linux__
  return true;
#else
  return false;
#endif
}

int ReceiveFrom(SOCKET s, unsigned char* buffer, int length, sockaddr* from, socklen_t* fromLength) {
  // With MSG_TRUNC Linux returns the datagram's real length, so a datagram
  // that did not fit is told apart from one that filled the buffer exactly.
  const ssize_t n = ::recvfrom(s, buffer, length > 0 ? static_cast<size_t>(length) : 0, MSG_TRUNC, from, fromLength);
  if (n < 0) return SOCKET_ERROR;
  if (n > length) {
    errno = EMSGSIZE;
    return SOCKET_ERROR;
  }
  return static_cast<int>(n);
}

int SendSome(SOCKET s, const unsigned char* data, int length) {
  const ssize_t n = ::send(s, data, length > 0 ? static_cast<size_t>(length) : 0, MSG_NOSIGNAL);
  return n < 0 ? SOCKET_ERROR : static_cast<int>(n);
}

int SendSomeTo(SOCKET s, const unsigned char* data, int length, const sockaddr* to, socklen_t toLength) {
  const ssize_t n = ::sendto(s, data, length > 0 ? static_cast<size_t>(length) : 0, MSG_NOSIGNAL, to, toLength);
  return n < 0 ? SOCKET_ERROR : static_cast<int>(n);
}

bool ConnectWithTimeout(SOCKET s, const sockaddr_in& address, unsigned milliseconds) {
  if (!SetNonBlocking(s, true)) return false;
  int result = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  bool connected = result == 0;
  if (!connected && errno == EINPROGRESS) {
    const int wait = WaitWritable(s, milliseconds);
    if (wait == kWaitReady) {
      int error = 0;
      socklen_t length = sizeof(error);
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
        connected = true;
      else if (error != 0)
        errno = error;
    } else if (wait == kWaitTimedOut) {
      errno = ETIMEDOUT;
    }
  }
  const int saved = errno;
  const bool restored = SetNonBlocking(s, false);
  errno = saved;
  return connected && restored;
}

}  // namespace platform
}  // namespace telvora
