// The life of one worker thread, the same for every worker of the driver:
// start, a stop that waits with a limit, and what happens to a thread still
// running after it.
#pragma once

#include <cstdint>
#include <functional>

#include "threading/os_thread.h"

namespace telvora {

class CWorkerThread {
 public:
  // What a stop does with a thread that outlived its limit.
  enum class Overdue {
    kWait,              // waits on, however long it takes
    kTerminate,         // terminates it where that is safe, else waits on
    kTerminateOrLeave,  // terminates it where that is safe, else leaves it
                        // running to end by itself
  };
  enum class StopResult {
    kNoThread,     // nothing was running
    kEnded,        // it ended within the limit
    kEndedLate,    // it ended after the limit
    kTerminated,   // it was terminated after the limit
    kLeftRunning,  // it still runs and ends by itself
    kOwnThread,    // the stop came from the worker itself: nothing changed
  };

  CWorkerThread() = default;
  // A thread still running is left to end by itself.
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Runs body on a new thread. False while the last thread still runs or
  // when none could be made. Before body runs, Start has returned with the
  // handle stored, so a body that stops its own thread is recognised.
  bool Start(std::function<void()> body);
  bool IsRunning() const;
  // True on the worker itself.
  bool IsCurrent() const;
  bool HasThread() const { return m_handle != nullptr; }
  uint32_t GetId() const { return m_id; }

  // Waits up to `milliseconds` for the thread to end. Once the limit has
  // passed, onOverdue is called (for the caller's line) before `overdue`
  // applies. Never waits for the calling thread itself.
  StopResult Stop(unsigned milliseconds, Overdue overdue, const std::function<void()>& onOverdue = {});
  // Lets go of a thread that ends by itself, e.g. one whose owner is being
  // destroyed on that very thread.
  void Detach();

 private:
  ThreadHandle m_handle = nullptr;
  uint32_t m_id = 0;
};

}  // namespace telvora
