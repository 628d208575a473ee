#include "threading/time.h"

namespace telvora {
namespace {

std::atomic<int64_t> g_wallClockOffset{0};

}  // namespace

void SetWallClockOffsetForTesting(int64_t ticks) { g_wallClockOffset = ticks; }

int64_t GetWallClockOffset() { return g_wallClockOffset.load(std::memory_order_relaxed); }

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

CTime::CTime() : m_value(GetCurrentFileTime()), m_monotonicMs(GetMonotonicMilliseconds()) {}

void CTime::SetCurrent() {
  const uint64_t now = GetCurrentFileTime();
  const uint64_t monotonic = GetMonotonicMilliseconds();
  CAutoLock lock(m_lock);
  m_value = now;
  m_monotonicMs = monotonic;
}

uint64_t CTime::GetValue() {
  CAutoLock lock(m_lock);
  return m_value;
}

uint32_t CTime::GetElapsedMilliseconds() {
  uint64_t stored;
  {
    CAutoLock lock(m_lock);
    stored = m_monotonicMs;
  }
  const uint64_t now = GetMonotonicMilliseconds();
  return now <= stored ? 0u : static_cast<uint32_t>(now - stored);
}

}  // namespace telvora
