#include "media/media_format.h"

namespace telvora {

uint32_t GetResolutionClass(uint32_t width, uint32_t height) {
  if (width < 200) return 1;
  if (width < 400) return 2;
  // 64-bit so that a height above 2^31 cannot wrap the doubled value.
  if (width < 1024 && static_cast<uint64_t>(width) > 2ull * height) return 3;
  return 4;
}

}  // namespace telvora
