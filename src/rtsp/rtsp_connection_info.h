// What one RTSP session needs to know about its server. Copied by value.
#pragma once

#include <cstdint>
#include <string>

namespace telvora {

struct RTSP_CONNECTION_INFO {
  uint16_t serverPort = 554;
  uint16_t clientRtpPort = 0;   // announced in SETUP over UDP
  uint16_t clientRtcpPort = 0;  // announced in SETUP over UDP
  std::string host;             // name or dotted IPv4 address
  std::string userName;
  std::string password;
  uint32_t connectTimeoutMs = 5000;
  uint32_t receiveTimeoutMs = 5000;
  uint32_t receiveBufferBytes = 65536;
  uint32_t sendTimeoutMs = 1000;
  uint32_t defaultSessionTimeoutS = 60;  // keep-alive base when the server names none
  int32_t authScheme = 0;                // 0 none, 1 Basic, 2 Digest; set by a 401
  std::string path;                      // appended to the request URL
};

}  // namespace telvora
