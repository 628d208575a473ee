// One background capability query: Start runs the properties object's query
// and fill on a worker thread and reports the outcome to the host callback.
#pragma once

#include <cstdint>

#include "host/driver_services.h"
#include "host/orvalen_host.h"
#include "properties/base_camera_properties.h"
#include "threading/worker_thread.h"
#include "threading/recursive_lock.h"
#include "base/smart_ptr.h"

namespace telvora {

class CCapabilityQueryModule : public ipcapture::IIPCapabilityQuery {
 public:
  // callback: the host's, not owned; may be null (outcomes are then dropped).
  // A non-zero low byte of videoStandard selects 33 ms default intervals.
  CCapabilityQueryModule(ICapabilityQueryCallback* callback, int videoStandard);
  // Stops the query and waits for the worker; from the worker itself (a
  // callback deleting its module) it does not wait.
  ~CCapabilityQueryModule() override;
  CCapabilityQueryModule(const CCapabilityQueryModule&) = delete;
  CCapabilityQueryModule& operator=(const CCapabilityQueryModule&) = delete;

  // Host thread. 1 when the worker started; 0 for a second Start, when no
  // properties object or thread could be made. results and the texts are
  // borrowed only for this call and the query.
  int Start(const char* address, int port, const char* user, const char* password,
            ICapabilityResults* results) override;
  // Host thread; does not wait.
  void Terminate() override;

 protected:
  // A new properties object for the device record; null when none can be made.
  // It must not borrow members of a derived module: those are destroyed
  // before this class's destructor waits for the worker.
  virtual CBaseCameraProperties* CreateProperties() = 0;
  // The worker's body: query, fill, then exactly one callback.
  virtual void Run();

  DEVICE_INFO& Device() { return m_device; }
  int VideoStandardFlag() const { return m_videoStandardFlag; }

 private:
  int m_videoStandardFlag;
  DEVICE_INFO m_device;
  ICapabilityQueryCallback* m_callback;
  ICapabilityResults* m_results;
  TSmartPtr<CBaseCameraProperties> m_properties;
  CRecursiveLock m_lock;  // guards the thread's start and the results
  CWorkerThread m_thread;
};

}  // namespace telvora
