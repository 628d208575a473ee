#include <cstring>
#include <memory>

#include "media/h264_rtp_media_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so that a read one byte past the end is caught.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  uint32_t width = 0, height = 0;
  if (telvora::CH264RTPMediaParser::ParseSps(copy.get(), size, &width, &height) && (width == 0 || height == 0))
    __builtin_trap();
  return 0;
}
