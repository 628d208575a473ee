// A recursive lock that spins briefly, then blocks on an auto-reset event.
#pragma once

#include <atomic>
#include <cstdint>

#include "threading/event.h"

namespace telvora {

class CRecursiveLock {
 public:
  CRecursiveLock();
  ~CRecursiveLock();
  CRecursiveLock(const CRecursiveLock&) = delete;
  CRecursiveLock& operator=(const CRecursiveLock&) = delete;

  void Lock();
  // Spins up to the spin count; false if the lock stayed taken by another
  // thread. Re-entry by the owner always succeeds.
  bool TryLock();
  // Each Lock or successful TryLock needs one Unlock by the owner. The final
  // one wakes exactly one waiting thread.
  void Unlock();

 private:
  CEvent m_wake;
  int32_t m_spinCount;
  // Owner's recursion depth plus the threads that wait or are about to.
  std::atomic<int32_t> m_lockCount;
  std::atomic<uint32_t> m_owner;
  int32_t m_recursion;
};

// Holds a lock for the lifetime of the guard.
class CAutoLock {
 public:
  explicit CAutoLock(CRecursiveLock* lock) : m_lock(lock) { m_lock->Lock(); }
  explicit CAutoLock(CRecursiveLock& lock) : m_lock(&lock) { m_lock->Lock(); }
  ~CAutoLock() { m_lock->Unlock(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CRecursiveLock* m_lock;
};

}  // namespace telvora
