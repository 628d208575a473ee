#include "driver/debug_info.h"

#include <cstring>
#include <new>

namespace telvora {

CDebugInfo::CDebugInfo(uint8_t level, const std::string& text) : m_level(level), m_text(nullptr) {
  if (text.empty()) return;
  m_text = new (std::nothrow) char[text.size() + 1];
  if (m_text != nullptr) std::memcpy(m_text, text.c_str(), text.size() + 1);
}

CDebugInfo::~CDebugInfo() { delete[] m_text; }

uint8_t AdaptLogLevel(int level, uint16_t hostMajor, uint16_t hostMinor) {
  const bool below512 = hostMajor < 5 || (hostMajor == 5 && hostMinor < 12);
  const bool below63 = hostMajor < 6 || (hostMajor == 6 && hostMinor < 3);
  if (below512) {
    if (level == 3 || level == 100) level = 2;
  } else if (below63) {
    if (level == 100) level = 3;
  }
  return static_cast<uint8_t>(level);
}

}  // namespace telvora
