// Dotted version numbers such as "6.3.0.0".
#pragma once

#include <cstdint>

namespace telvora {

// Reads "major.minor[.build[.revision]]"; missing parts are 0. False for a
// null text, fewer than two numbers, or a part above 65535.
bool ParseVersionText(const char* text, uint16_t parts[4]);

}  // namespace telvora
