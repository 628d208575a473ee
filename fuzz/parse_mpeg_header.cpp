#include <cstring>
#include <memory>

#include "kovadel/kovadel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  int32_t width = 0, height = 0;
  if (ParseMpegHeader(copy.get(), static_cast<uint32_t>(size), &width, &height) > 0 &&
      (width <= 0 || height <= 0 || width > 8191 || height > 8191))
    __builtin_trap();
  return 0;
}
