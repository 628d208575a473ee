#include <cstring>
#include <memory>

#include "media/jpeg_rtp_media_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  // The area exactly as large as promised: a write past it is caught.
  std::unique_ptr<uint8_t[]> area(new uint8_t[telvora::CJpegRTPMediaParser::kHeaderAreaSize]);
  size_t length = 0, consumed = 0;
  if (telvora::CJpegRTPMediaParser::PrepareJpegHeader(copy.get(), size, area.get(), &length, &consumed)) {
    if (consumed > size || length > telvora::CJpegRTPMediaParser::kHeaderAreaSize) __builtin_trap();
    if (length != 0 && (area[0] != 0xFF || area[1] != 0xD8 || area[length - 14] != 0xFF || area[length - 13] != 0xDA))
      __builtin_trap();
  }
  return 0;
}
