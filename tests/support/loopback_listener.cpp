#include "support/loopback_listener.h"

#include <cstring>

namespace telvora {
namespace test {

namespace {

SOCKET NewTcpSocket() {
#ifdef SOCK_CLOEXEC
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#else
  return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#endif
}

sockaddr_in Address(uint32_t host, uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

SOCKET ListenOn(uint32_t host, uint16_t port, uint16_t* boundPort, int backlog) {
  SOCKET s = NewTcpSocket();
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  sockaddr_in address = Address(host, port);
  socklen_t length = sizeof(address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, backlog) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  if (boundPort != nullptr) *boundPort = ntohs(address.sin_port);
  return s;
}

SOCKET ListenOnLoopback(uint16_t port, uint16_t* boundPort, int backlog) {
  return ListenOn(INADDR_LOOPBACK, port, boundPort, backlog);
}

SOCKET ConnectToLoopback(uint16_t port) {
  SOCKET s = NewTcpSocket();
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  const sockaddr_in address = Address(INADDR_LOOPBACK, port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

void CloseWithReset(SOCKET s) {
  if (s == INVALID_SOCKET) return;
  linger hard{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
  closesocket(s);
}

}  // namespace test
}  // namespace telvora
