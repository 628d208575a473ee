// The configuration lookup over any file content and any device address.
// Input: the address up to the first NUL byte, then the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // In memory where there is a tmpfs: on a disk file system each rewrite
  // of the file costs a flush and most of the run's time.
  static std::string dir = [] {
    char shm[] = "/dev/shm/orvalen-fuzz-xml-XXXXXX";
    char tmp[] = "/tmp/orvalen-fuzz-xml-XXXXXX";
    char* made = mkdtemp(shm);
    if (made == nullptr) made = mkdtemp(tmp);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t addressLength = nul != nullptr ? static_cast<size_t>(nul - data) : 0;
  std::string address(reinterpret_cast<const char*>(data), addressLength);
  const uint8_t* file = nul != nullptr ? nul + 1 : data;
  const size_t fileSize = size - static_cast<size_t>(file - data);

  const std::string path = dir + "/Orvalen.xml";
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return 0;
  if (fileSize > 0) std::fwrite(file, 1, fileSize, out);
  std::fclose(out);

  telvora::DEVICE_INFO device(address, static_cast<uint16_t>(size), "", "");
  telvora::CConfiguration config("Orvalen", dir, device);
  telvora::ChannelSettings s = config.GetChannelSettings(static_cast<uint32_t>(size % 4));
  if ((s.RTPMode != 0 && s.RTPMode != 2) || (s.KeepAlive != 0 && s.KeepAlive != 1)) __builtin_trap();
  return 0;
}
