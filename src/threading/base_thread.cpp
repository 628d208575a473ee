#include "threading/base_thread.h"

namespace telvora {

CBaseThread::CBaseThread(IDebugMessage* sink) : m_handle(nullptr), m_threadId(0), m_sink(sink) {}

CBaseThread::~CBaseThread() { CBaseThread::StopThread(2000); }

unsigned CBaseThread::Entry(void* self) {
  if (self == nullptr) return 0x123456;
  CBaseThread* thread = static_cast<CBaseThread*>(self);
  thread->m_handleStored.Wait(kInfinite);
  try {
    thread->Run();
  } catch (...) {
    // Nothing may leave a worker thread.
  }
  return 0;
}

bool CBaseThread::IsRunning() const { return m_handle != nullptr && !OsWaitThread(m_handle, 0); }

void CBaseThread::CloseHandle() {
  if (m_handle != nullptr) {
    OsCloseThread(m_handle);
    m_handle = nullptr;
  }
}

bool CBaseThread::StartThread(const std::string& name) {
  m_stopEvent.Reset();
  if (IsRunning()) return false;
  CloseHandle();
  if (&name != &m_name) m_name = name;
  m_handleStored.Reset();
  m_handle = OsStartThread(&CBaseThread::Entry, this, &m_threadId);
  m_handleStored.Set();
  return m_handle != nullptr;
}

bool CBaseThread::JoinThread(unsigned milliseconds) {
  return StopOrJoin(milliseconds, false, "telvora::CBaseThread::JoinThread");
}

bool CBaseThread::StopThread(unsigned milliseconds) {
  return StopOrJoin(milliseconds, true, "telvora::CBaseThread::StopThread");
}

bool CBaseThread::StopOrJoin(unsigned milliseconds, bool terminate, const char* function) {
  m_stopEvent.Set();
  if (m_handle == nullptr) return true;
  if (OsCurrentThreadId() == m_threadId) return false;
  if (!OsWaitThread(m_handle, milliseconds)) {
    // The stop may run in a destructor: a throwing log sink must not end the process.
    try {
      std::string device = m_sink != nullptr ? m_sink->GetDeviceText() : std::string();
      if (m_sink != nullptr) {
        if (terminate)
          m_sink->Log(2,
                      "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu "
                      "milliseconds and will be terminated!",
                      function, m_threadId, m_name.c_str(), device.c_str(),
                      static_cast<unsigned long>(milliseconds));
        else
          m_sink->Log(2,
                      "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu "
                      "milliseconds",
                      function, m_threadId, m_name.c_str(), device.c_str(),
                      static_cast<unsigned long>(milliseconds));
      }
    } catch (...) {
    }
    if (terminate) {
      // Returns only once the thread is gone; where it cannot be terminated
      // safely (POSIX) that means waiting for it to end by itself.
      OsTerminateThread(m_handle);
    } else {
      OsWaitThread(m_handle, kInfinite);
      try {
        if (m_sink != nullptr)
          m_sink->Log(3, "%s: Thread (id=%u, name=\"%s\") was stopped correctly", function, m_threadId,
                      m_name.c_str());
      } catch (...) {
      }
    }
  }
  CloseHandle();
  return true;
}

}  // namespace telvora
