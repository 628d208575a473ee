// The test kit's one way to listen and connect on 127.0.0.1, for the
// scripted servers, fake cameras and proxies.
#pragma once

#include <cstdint>

#include "platform/sockets.h"

namespace telvora {
namespace test {

// A TCP listener on address:port (host order; port 0: any free port), or
// INVALID_SOCKET. *boundPort receives the port it got. The socket is not
// inherited by processes the test starts, so a closed listener really
// refuses.
SOCKET ListenOn(uint32_t address, uint16_t port, uint16_t* boundPort, int backlog = 16);
// The same on 127.0.0.1.
SOCKET ListenOnLoopback(uint16_t port, uint16_t* boundPort, int backlog = 16);

// A connected TCP socket to 127.0.0.1:port, or INVALID_SOCKET.
SOCKET ConnectToLoopback(uint16_t port);

// Closes with SO_LINGER 0, so the peer sees a reset, not an orderly end.
void CloseWithReset(SOCKET s);

}  // namespace test
}  // namespace telvora
