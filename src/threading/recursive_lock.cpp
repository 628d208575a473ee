#include "threading/recursive_lock.h"

#include "platform/module.h"
#include "threading/os_thread.h"

namespace telvora {
namespace {

// -1 undetermined, 0 several processors, 1 a single one.
std::atomic<int> g_singleProcessor{-1};

}  // namespace

CRecursiveLock::CRecursiveLock() : m_wake(false), m_spinCount(0), m_lockCount(0), m_owner(0), m_recursion(0) {
  if (g_singleProcessor.load() == -1) g_singleProcessor.store(platform::GetProcessorCount() == 1 ? 1 : 0);
  if (g_singleProcessor.load() == 0) m_spinCount = 4000;
}

CRecursiveLock::~CRecursiveLock() {}

bool CRecursiveLock::TryLock() {
  const uint32_t self = OsCurrentThreadId();
  for (int32_t attempt = 0; attempt <= m_spinCount; ++attempt) {
    int32_t expected = 0;
    if (m_lockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
      m_owner.store(self, std::memory_order_relaxed);
      m_recursion = 1;
      return true;
    }
    if (m_owner.load(std::memory_order_relaxed) == self) {
      m_lockCount.fetch_add(1, std::memory_order_relaxed);
      ++m_recursion;
      return true;
    }
  }
  return false;
}

void CRecursiveLock::Lock() {
  if (TryLock()) return;
  const uint32_t self = OsCurrentThreadId();
  if (m_lockCount.fetch_add(1, std::memory_order_acquire) == 0) {
    m_owner.store(self, std::memory_order_relaxed);
    m_recursion = 1;
    return;
  }
  if (m_owner.load(std::memory_order_relaxed) == self) {
    ++m_recursion;
    return;
  }
  m_wake.Wait(kInfinite);
  m_owner.store(self, std::memory_order_relaxed);
  m_recursion = 1;
}

void CRecursiveLock::Unlock() {
  if (--m_recursion > 0) {
    m_lockCount.fetch_sub(1, std::memory_order_release);
    return;
  }
  m_owner.store(0, std::memory_order_relaxed);
  if (m_lockCount.fetch_sub(1, std::memory_order_release) - 1 > 0) m_wake.Set();
}

}  // namespace telvora
