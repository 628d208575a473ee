// The log record handed to the host's log sink for one line.
#pragma once

#include <cstdint>
#include <string>

#include "host/orvalen_host.h"

namespace telvora {

class CDebugInfo : public CDebugInfoIf {
 public:
  // Copies the text; an empty text (or a failed allocation) leaves none.
  CDebugInfo(uint8_t level, const std::string& text);
  ~CDebugInfo() override;
  CDebugInfo(const CDebugInfo&) = delete;
  CDebugInfo& operator=(const CDebugInfo&) = delete;

  uint8_t GetLevel() const override { return m_level; }
  // Null when there is no text.
  const char* GetText() const override { return m_text; }

 private:
  uint8_t m_level;
  char* m_text;
};

// The level a host of the given core version understands: below 5.12 it
// knows no information level, below 6.3 no start-up level.
uint8_t AdaptLogLevel(int level, uint16_t hostMajor, uint16_t hostMinor);

}  // namespace telvora
