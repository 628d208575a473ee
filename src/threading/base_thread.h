// A named worker thread with a stop event and a bounded shutdown.
#pragma once

#include <cstdint>
#include <string>

#include "host/debug_message.h"
#include "threading/event.h"
#include "threading/worker_thread.h"

namespace telvora {

class CBaseThread {
 public:
  // sink: not owned; receives the shutdown messages.
  explicit CBaseThread(IDebugMessage* sink);
  // Stops the thread (2000 ms limit). Run() belongs to the derived class,
  // so a derived destructor must stop the thread itself first.
  virtual ~CBaseThread();
  CBaseThread(const CBaseThread&) = delete;
  CBaseThread& operator=(const CBaseThread&) = delete;

  // Resets the stop event and starts Run() on a new thread. False while a
  // thread is still running or when none could be created.
  virtual bool StartThread(const std::string& name);
  // Signals the stop event and waits. After the limit it logs a warning and
  // keeps waiting. False only when called on the worker itself.
  virtual bool JoinThread(unsigned milliseconds);
  // As JoinThread, but after the limit the thread is terminated where the
  // platform can do so safely (Windows); elsewhere it is waited for.
  virtual bool StopThread(unsigned milliseconds);

  bool IsRunning() const { return m_thread.IsRunning(); }
  uint32_t GetThreadId() const { return m_thread.GetId(); }
  const std::string& GetThreadName() const { return m_name; }

 protected:
  // The thread body; returns when the stop event is signalled.
  virtual void Run() = 0;
  IDebugMessage* GetLogSink() const { return m_sink; }

  CManualEvent m_stopEvent;

 private:
  // function: the caller's own name, which the lines it writes carry.
  bool StopOrJoin(unsigned milliseconds, bool terminate, const char* function);

  std::string m_name;
  CWorkerThread m_thread;
  IDebugMessage* m_sink;
};

}  // namespace telvora
