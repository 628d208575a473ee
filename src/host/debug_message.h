// The logging service every component of the driver writes through.
#pragma once

#include <string>

class IDebugMessage {
 public:
  virtual ~IDebugMessage() {}
  // The device's address and port, for example 10.0.0.5:554.
  virtual std::string GetDeviceText() = 0;
  // printf-style line; level 1 error, 2 warning, 3 information,
  // 4 dropped, 100 start-up line. Safe from any thread.
  virtual void Log(int level, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      = 0;
};
