// Linked into every test program of the Windows build. The driver starts
// Winsock per channel; tests that use sockets below the channel (the UDP
// client, the RTSP client, the scripted server) need it started for them.
#include "platform/sockets.h"

namespace {

struct WinsockStartup {
  WinsockStartup() { started = WSAStartup(MAKEWORD(2, 2), &data) == 0; }
  ~WinsockStartup() {
    if (started) WSACleanup();
  }
  WSADATA data;
  bool started = false;
};

WinsockStartup g_winsock;

}  // namespace
