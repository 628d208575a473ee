#include "threading/worker_thread.h"

#include <memory>
#include <new>
#include <utility>

#include "threading/event.h"

namespace telvora {
namespace {

// Shared by the starter and the new thread, so that neither outlives what
// the other still uses.
struct Launch {
  std::function<void()> body;
  CManualEvent handleStored;
};

unsigned Entry(void* argument) {
  std::shared_ptr<Launch> launch;
  {
    std::unique_ptr<std::shared_ptr<Launch>> passed(static_cast<std::shared_ptr<Launch>*>(argument));
    launch = std::move(*passed);
  }
  launch->handleStored.Wait(kInfinite);
  std::function<void()> body = std::move(launch->body);
  launch.reset();
  try {
    body();
  } catch (...) {
    // Nothing may leave a worker thread.
  }
  // Nobody reads a worker's exit code.
  return 0;
}

}  // namespace

CWorkerThread::~CWorkerThread() { Detach(); }

bool CWorkerThread::Start(std::function<void()> body) {
  if (IsRunning()) return false;
  if (m_handle != nullptr) {
    OsCloseThread(m_handle);
    m_handle = nullptr;
  }
  std::shared_ptr<Launch> launch;
  std::shared_ptr<Launch>* passed = nullptr;
  try {
    launch = std::make_shared<Launch>();
    launch->body = std::move(body);
    passed = new std::shared_ptr<Launch>(launch);
  } catch (...) {
    return false;
  }
  m_handle = OsStartThread(&Entry, passed, &m_id);
  if (m_handle == nullptr) {
    delete passed;
    return false;
  }
  launch->handleStored.Set();
  return true;
}

bool CWorkerThread::IsRunning() const { return m_handle != nullptr && !OsWaitThread(m_handle, 0); }

bool CWorkerThread::IsCurrent() const { return m_handle != nullptr && OsCurrentThreadId() == m_id; }

CWorkerThread::StopResult CWorkerThread::Stop(unsigned milliseconds, Overdue overdue,
                                              const std::function<void()>& onOverdue) {
  if (m_handle == nullptr) return StopResult::kNoThread;
  if (IsCurrent()) return StopResult::kOwnThread;
  StopResult result = StopResult::kEnded;
  if (!OsWaitThread(m_handle, milliseconds)) {
    // A stop may run in a destructor: a throwing log sink must not end the process.
    try {
      if (onOverdue) onOverdue();
    } catch (...) {
    }
    if (overdue != Overdue::kWait && kOsTerminatesThreads && OsTerminateThread(m_handle)) {
      result = StopResult::kTerminated;
    } else if (overdue == Overdue::kTerminateOrLeave && !kOsTerminatesThreads) {
      OsDetachThread(m_handle);
      m_handle = nullptr;
      return StopResult::kLeftRunning;
    } else {
      OsWaitThread(m_handle, kInfinite);
      result = StopResult::kEndedLate;
    }
  }
  OsCloseThread(m_handle);
  m_handle = nullptr;
  return result;
}

void CWorkerThread::Detach() {
  if (m_handle == nullptr) return;
  OsDetachThread(m_handle);
  m_handle = nullptr;
}

}  // namespace telvora
