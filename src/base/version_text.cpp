#include "base/version_text.h"

#include <cstdio>

namespace telvora {

bool ParseVersionText(const char* text, uint16_t parts[4]) {
  if (text == nullptr) return false;
  unsigned read[4] = {0, 0, 0, 0};
  if (std::sscanf(text, "%u.%u.%u.%u", &read[0], &read[1], &read[2], &read[3]) < 2) return false;
  for (unsigned p : read)
    if (p > 0xFFFF) return false;
  for (int i = 0; i < 4; ++i) parts[i] = static_cast<uint16_t>(read[i]);
  return true;
}

}  // namespace telvora
