#include "threading/time.h"

namespace telvora {

uint64_t GetCurrentFileTime() {
  SYSTEMTIME now;
  GetCurrentSystemTime(now);
  return SystemTimeToFileTime64(now);
}

uint32_t GetMillisecondsSince(const uint64_t& stamp) {
  uint64_t now = GetCurrentFileTime();
  if (now <= stamp) return 0;
  return static_cast<uint32_t>((now - stamp) / 10000u);
}

CTime::CTime() : m_value(GetCurrentFileTime()) {}

void CTime::SetCurrent() {
  uint64_t now = GetCurrentFileTime();
  CAutoLock lock(m_lock);
  m_value = now;
}

uint64_t CTime::GetValue() {
  CAutoLock lock(m_lock);
  return m_value;
}

uint32_t CTime::GetElapsedMilliseconds() {
  uint64_t stored = GetValue();
  return GetMillisecondsSince(stored);
}

}  // namespace telvora
