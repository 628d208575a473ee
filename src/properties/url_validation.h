// Splitting a configured stream URL (rtsp://host:port/path, rtp://host:port)
// into device address, port and stream path. Pure functions of their input:
// they read only the text and write only the fields they are given.
#pragma once

#include <cstdint>
#include <string>

namespace telvora {

// Where validation writes. The references point into the caller's own
// fields, so a properties object passes its device record and members.
struct STREAM_URL_FIELDS {
  std::string& address;  // input to ValidateUrl's caller; output: host without port
  uint16_t& port;        // changed only when the URL names a port
  std::string& streamPath;
  bool& rtpOnly;
  std::string& lastErrorText;  // set on failure only
};

// Accepts the schemes rtp and rtsp (any case), sets the stream path and the
// RTP-only flag, then hands the host part to ParseAddressPort. A
// "user:password@" before the host is dropped and never quoted in a
// message.
bool ValidateUrl(std::string url, const STREAM_URL_FIELDS& fields);

// "host" or "host:port" with a non-zero decimal port (taken modulo 65536).
bool ParseAddressPort(std::string text, const STREAM_URL_FIELDS& fields);

}  // namespace telvora
