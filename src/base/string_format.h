// printf-style formatting into a std::string of any length.
#pragma once

#include <cstdarg>
#include <string>

namespace telvora {

std::string FormatString(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A counting pass, then the formatting pass. "" on a format error.
std::string FormatStringV(const char* format, va_list args);

}  // namespace telvora
