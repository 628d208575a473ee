#include "properties/capability_query_module.h"

#include <string>

namespace telvora {
namespace {

std::string FailureMessage(int code, const std::string& detail) {
  std::string message = "Failed to get camera properties";
  if ((code == 1 || code == 3) && !detail.empty())
    message += ": " + detail;
  else if (code == 1)
    message += ", login failed (invalid credentials)";
  else if (code == 2)
    message += ", device is offline or is located in unaccessible subnet";
  return message;
}

}  // namespace

CCapabilityQueryModule::CCapabilityQueryModule(ICapabilityQueryCallback* callback, int videoStandard)
    : m_videoStandardFlag((videoStandard & 0xFF) != 0 ? 1 : 0),
      m_device("", 80, "", ""),
      m_callback(callback),
      m_results(nullptr) {
  m_device.timeoutMs = 5000;
  m_device.noDataTimeoutMs = 5000;
}

CCapabilityQueryModule::~CCapabilityQueryModule() {
  Terminate();
  // The thread stays set while we wait, so a Start from a callback returns
  // 0 at once instead of blocking on the lock.
  const CWorkerThread::StopResult stopped = m_thread.Stop(2 * m_device.timeoutMs, CWorkerThread::Overdue::kTerminate);
  if (stopped == CWorkerThread::StopResult::kOwnThread) {
    // A callback deleting its module: Run touches nothing of it any more.
    m_thread.Detach();
  } else if (stopped == CWorkerThread::StopResult::kTerminated && m_callback != nullptr) {
    try {
      m_callback->OnQueryThreadKilled();
    } catch (...) {
    }
  }
  CAutoLock guard(m_lock);
  m_properties.Release();
  m_results = nullptr;
}

int CCapabilityQueryModule::Start(const char* address, int port, const char* user, const char* password,
                                  ICapabilityResults* results) {
  CAutoLock guard(m_lock);
  if (m_thread.HasThread()) return 0;
  m_results = results;
  if (address != nullptr && user != nullptr && password != nullptr) {
    m_device.address += address;
    m_device.userName += user;
    m_device.password += password;
    m_device.port = static_cast<uint16_t>(port & 0xFFFF);
  }
  if (m_device.timeoutMs == 0) return 0;
  try {
    m_properties = CreateProperties();
  } catch (...) {
    m_properties.Release();
  }
  if (!m_properties) return 0;
  return m_thread.Start([this] { Run(); }) ? 1 : 0;
}

void CCapabilityQueryModule::Terminate() {
  // The module's own reference keeps the object alive; copying the count
  // here would race with the worker's copy.
  CBaseCameraProperties* properties = m_properties.Get();
  if (properties != nullptr) properties->Abort();
}

void CCapabilityQueryModule::Run() {
  // Everything is copied first: a callback may delete this module, after
  // which only these locals may be touched.
  TSmartPtr<CBaseCameraProperties> properties(m_properties);
  ICapabilityResults* results = m_results;
  ICapabilityQueryCallback* callback = m_callback;
  int code = 3;
  std::string message;
  bool completed = false;

  if (!properties || results == nullptr) {
    message = "Failed to start capability fetching thread. Internal error occurs";
  } else {
    bool queried = false;
    try {
      queried = properties->Query(&code);
    } catch (...) {
      queried = false;
    }
    if (queried) {
      bool filled = false;
      try {
        filled = properties->Fill(results);
      } catch (...) {
        filled = false;
      }
      if (filled)
        completed = true;
      else
        message = "Failed to save capability query results";
    } else {
      std::string detail;
      try {
        detail = properties->GetLastErrorText();
      } catch (...) {
      }
      message = FailureMessage(code, detail);
    }
  }

  if (callback != nullptr) {
    try {
      if (completed)
        callback->OnQueryCompleted();
      else
        callback->OnQueryFailed(code, message.c_str());
    } catch (...) {
      // The host's exception stops here.
    }
  }
}

}  // namespace telvora
