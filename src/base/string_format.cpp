#include "base/string_format.h"

#include <cstdio>
#include <vector>

namespace telvora {

std::string FormatStringV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list counting;
  va_copy(counting, args);
  int length = std::vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length <= 0) return std::string();
  std::string out;
  try {
    out.resize(static_cast<size_t>(length) + 1);
  } catch (...) {
    return std::string();
  }
  va_list writing;
  va_copy(writing, args);
  std::vsnprintf(&out[0], out.size(), format, writing);
  va_end(writing);
  out.resize(static_cast<size_t>(length));
  return out;
}

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatStringV(format, args);
  va_end(args);
  return out;
}

}  // namespace telvora
