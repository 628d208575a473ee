#include "properties/ended_thread_reaper.h"

#include <vector>

#include "threading/event.h"
#include "threading/recursive_lock.h"

namespace telvora {
namespace {

class CEndedThreadReaper {
 public:
  ~CEndedThreadReaper() {
    // At unload, give the last parked threads a moment to finish their
    // return; one still running is left alone rather than freed under it.
    CAutoLock guard(m_lock);
    for (ThreadHandle handle : m_handles)
      if (OsWaitThread(handle, 2000)) OsCloseThread(handle);
    m_handles.clear();
  }

  void Adopt(ThreadHandle handle) {
    CAutoLock guard(m_lock);
    try {
      m_handles.push_back(handle);
    } catch (...) {
      // Out of memory: the handle's few bytes are lost, the thread still ends.
    }
  }

  void Reap() {
    CAutoLock guard(m_lock);
    std::vector<ThreadHandle> running;
    for (ThreadHandle handle : m_handles) {
      if (OsWaitThread(handle, 0))
        OsCloseThread(handle);
      else
        running.push_back(handle);
    }
    m_handles.swap(running);
  }

 private:
  CRecursiveLock m_lock;
  std::vector<ThreadHandle> m_handles;
};

CEndedThreadReaper& Reaper() {
  static CEndedThreadReaper reaper;
  return reaper;
}

}  // namespace

void AdoptEndingThread(ThreadHandle handle) {
  if (handle == nullptr) return;
  Reaper().Reap();
  Reaper().Adopt(handle);
}

void ReapEndedThreads() { Reaper().Reap(); }

}  // namespace telvora
