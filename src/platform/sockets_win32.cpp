#include "platform/sockets.h"

#include <cstring>

namespace telvora {
namespace platform {
namespace {

int SelectOne(SOCKET s, bool forWrite, unsigned milliseconds) {
  if (s == INVALID_SOCKET) {
    WSASetLastError(WSAENOTSOCK);
    return SOCKET_ERROR;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(s, &failed);
  timeval tv;
  tv.tv_sec = static_cast<long>(milliseconds / 1000);
  tv.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
  // A failed non-blocking connect shows up in the except set, not the write set.
  const int result = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, forWrite ? &failed : nullptr, &tv);
  if (result == SOCKET_ERROR) return SOCKET_ERROR;
  return result == 0 ? kWaitTimedOut : kWaitReady;
}

bool SetTimeoutOption(SOCKET s, int option, unsigned milliseconds) {
  DWORD value = milliseconds;
  return setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof(value)) == 0;
}

}  // namespace

bool SetReceiveTimeout(SOCKET s, unsigned milliseconds) { return SetTimeoutOption(s, SO_RCVTIMEO, milliseconds); }

bool SetSendTimeout(SOCKET s, unsigned milliseconds) { return SetTimeoutOption(s, SO_SNDTIMEO, milliseconds); }

bool SetNonBlocking(SOCKET s, bool nonBlocking) {
  u_long mode = nonBlocking ? 1 : 0;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
}

bool ReceiveOwnGroupsOnly(SOCKET) { return true; }

// Winsock leaves a blocked recvfrom waiting after shutdown; only its own
// time-out ends it.
bool ShutdownWakesBlockedReceive() { return false; }

int WaitReadable(SOCKET s, unsigned milliseconds) { return SelectOne(s, false, milliseconds); }

int WaitWritable(SOCKET s, unsigned milliseconds) { return SelectOne(s, true, milliseconds); }

int ReceiveFrom(SOCKET s, unsigned char* buffer, int length, sockaddr* from, socklen_t* fromLength) {
  return recvfrom(s, reinterpret_cast<char*>(buffer), length, 0, from, fromLength);
}

int SendSome(SOCKET s, const unsigned char* data, int length) {
  return send(s, reinterpret_cast<const char*>(data), length, 0);
}

int SendSomeTo(SOCKET s, const unsigned char* data, int length, const sockaddr* to, socklen_t toLength) {
  return sendto(s, reinterpret_cast<const char*>(data), length, 0, to, toLength);
}

bool ConnectWithTimeout(SOCKET s, const sockaddr_in& address, unsigned milliseconds) {
  if (!SetNonBlocking(s, true)) return false;
  int result = connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  bool connected = result == 0;
  if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
    const int wait = WaitWritable(s, milliseconds);
    if (wait == kWaitReady) {
      int error = 0;
      int length = sizeof(error);
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 && error == 0)
        connected = true;
      else if (error != 0)
        WSASetLastError(error);
    } else if (wait == kWaitTimedOut) {
      WSASetLastError(WSAETIMEDOUT);
    }
  }
  const int saved = WSAGetLastError();
  const bool restored = SetNonBlocking(s, false);
  WSASetLastError(saved);
  return connected && restored;
}

}  // namespace platform
}  // namespace telvora
