#include <string>
#include <vector>

#include "rtsp/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<uint8_t> out;
  const bool ok = telvora::Base64Decode(text, capacity, out);
  if (out.size() > capacity || (!ok && !out.empty())) __builtin_trap();
  // Whatever decodes must survive an encode and decode unchanged.
  if (ok) {
    std::string encoded;
    telvora::Base64Encode(out.data(), out.size(), 0, encoded);
    std::vector<uint8_t> again;
    if (!telvora::Base64Decode(encoded, capacity, again) || again != out) __builtin_trap();
  }
  return 0;
}
