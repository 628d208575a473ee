#include "support/fake_driver.h"

#include <cstdarg>
#include <cstdlib>

#include "base/string_format.h"

namespace telvora {
namespace test {

std::string FakeDriver::GetDeviceText() { return FormatString("%s:%hu", m_info.address.c_str(), m_info.port); }

void FakeDriver::Log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatStringV(format, args);
  va_end(args);
  m_log.Add(level, line);
}

std::string FakeDriver::GetParameter(uint32_t index) {
  auto it = m_params.find(index);
  if (it == m_params.end() || it->second == "(none)") return std::string();
  return it->second;
}

int32_t FakeDriver::GetParameterNumber(uint32_t index) {
  std::string text = GetParameter(index);
  if (text.empty()) return static_cast<int32_t>(0x80000000u);
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (end == nullptr || *end != '\0') return static_cast<int32_t>(0x80000000u);
  return static_cast<int32_t>(value);
}

}  // namespace test
}  // namespace telvora
