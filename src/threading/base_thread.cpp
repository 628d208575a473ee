#include "threading/base_thread.h"

namespace telvora {

CBaseThread::CBaseThread(IDebugMessage* sink) : m_sink(sink) {}

CBaseThread::~CBaseThread() { CBaseThread::StopThread(2000); }

bool CBaseThread::StartThread(const std::string& name) {
  m_stopEvent.Reset();
  if (IsRunning()) return false;
  if (&name != &m_name) m_name = name;
  return m_thread.Start([this] { Run(); });
}

bool CBaseThread::JoinThread(unsigned milliseconds) {
  return StopOrJoin(milliseconds, false, "telvora::CBaseThread::JoinThread");
}

bool CBaseThread::StopThread(unsigned milliseconds) {
  return StopOrJoin(milliseconds, true, "telvora::CBaseThread::StopThread");
}

bool CBaseThread::StopOrJoin(unsigned milliseconds, bool terminate, const char* function) {
  m_stopEvent.Set();
  const uint32_t id = m_thread.GetId();
  auto overdue = [&] {
    if (m_sink == nullptr) return;
    std::string device = m_sink->GetDeviceText();
    if (terminate)
      m_sink->Log(2,
                  "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu "
                  "milliseconds and will be terminated!",
                  function, id, m_name.c_str(), device.c_str(), static_cast<unsigned long>(milliseconds));
    else
      m_sink->Log(2,
                  "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu milliseconds",
                  function, id, m_name.c_str(), device.c_str(), static_cast<unsigned long>(milliseconds));
  };
  const CWorkerThread::StopResult result = m_thread.Stop(
      milliseconds, terminate ? CWorkerThread::Overdue::kTerminate : CWorkerThread::Overdue::kWait, overdue);
  if (result == CWorkerThread::StopResult::kOwnThread) return false;
  if (result == CWorkerThread::StopResult::kEndedLate && !terminate) {
    try {
      if (m_sink != nullptr)
        m_sink->Log(3, "%s: Thread (id=%u, name=\"%s\") was stopped correctly", function, id, m_name.c_str());
    } catch (...) {
    }
  }
  return true;
}

}  // namespace telvora
