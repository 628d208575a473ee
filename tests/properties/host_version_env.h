// Sets or clears BRENLOW_VERSION for one test and restores it afterwards.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/module.h"

namespace telvora {
namespace test {

class ScopedHostVersion {
 public:
  // null: no version published.
  explicit ScopedHostVersion(const char* version) {
    const char* old = std::getenv("BRENLOW_VERSION");
    m_hadOld = old != nullptr;
    if (m_hadOld) m_old = old;
    platform::SetEnvironmentValue("BRENLOW_VERSION", version);
  }
  ~ScopedHostVersion() { platform::SetEnvironmentValue("BRENLOW_VERSION", m_hadOld ? m_old.c_str() : nullptr); }
  ScopedHostVersion(const ScopedHostVersion&) = delete;
  ScopedHostVersion& operator=(const ScopedHostVersion&) = delete;

 private:
  bool m_hadOld = false;
  std::string m_old;
};

}  // namespace test
}  // namespace telvora
