// Pure helpers of the driver object for texts the host configures: the
// device address and numbered parameters read as numbers. They see
// untrusted text and never read past it.
#pragma once

#include <cstdint>
#include <string>

namespace telvora {

struct DEVICE_ADDRESS {
  std::string host;      // empty when the text names no host
  bool hasPort = false;  // a ":" followed the host
  uint16_t port = 0;     // the digits after ":", modulo 65536
  // "user:password@" in front of the host, percent-decoded. Secret: never
  // logged or shown.
  bool hasUserInfo = false;
  std::string userName;
  std::string password;
};

// Accepts "host", "host:port" and URLs such as rtsp://host:port/path (the
// host part ends at the first "/" or "\" after "://"), each with an
// optional "user:password@" before the host, which is taken off first (up
// to the last '@', so a password may hold '@' or '/'). False for an empty
// host part, a leading ":", or a port of 0; out->host is still filled in
// the last case.
bool ParseDeviceAddress(const std::string& text, DEVICE_ADDRESS* out);

// An optional sign and decimal digits only. kNoNumber for anything else,
// including values outside the 32-bit range.
constexpr int32_t kNoNumber = static_cast<int32_t>(0x80000000u);
int32_t ParseParameterNumber(const std::string& text);

}  // namespace telvora
