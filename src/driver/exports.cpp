// The C entry points of the library. Every Create... name is one factory and
// every Delete... name one deleter: a single object serves every version of
// the driver interface. No exception leaves through them.
#include <new>

#include "driver/orvalen_driver.h"
#include "host/orvalen_host.h"

using telvora::ipcapture::IIPCaptureDriver;

namespace {

IIPCaptureDriver* CreateDriver() {
  try {
    return new (std::nothrow) telvora::COrvalenDriver();
  } catch (...) {
    return nullptr;
  }
}

void DeleteDriver(IIPCaptureDriver* driver) {
  if (driver == nullptr) return;
  try {
    // Deleting a device from inside its own stream's callback would free
    // the thread's objects under it: refused, the host may delete it later.
    auto* own = dynamic_cast<telvora::CIPCaptureDriver*>(driver);
    if (own != nullptr && own->RefuseDeleteFromOwnCallback("DeleteIPCapture")) return;
    if (own != nullptr)
      own->DeleteFromHost();
    else
      telvora::DeleteInterfaceObject(driver);
  } catch (...) {
  }
}

}  // namespace

extern "C" {

ORVALEN_EXPORT IIPCaptureDriver* ORVALEN_CALL CreateIPCapture() { return CreateDriver(); }
ORVALEN_EXPORT IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx() { return CreateDriver(); }
ORVALEN_EXPORT IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx2() { return CreateDriver(); }
ORVALEN_EXPORT IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx3() { return CreateDriver(); }
ORVALEN_EXPORT IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx4() { return CreateDriver(); }
ORVALEN_EXPORT IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx5() { return CreateDriver(); }

ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCapture(IIPCaptureDriver* driver) { DeleteDriver(driver); }
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx(IIPCaptureDriver* driver) { DeleteDriver(driver); }
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx2(IIPCaptureDriver* driver) { DeleteDriver(driver); }
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx3(IIPCaptureDriver* driver) { DeleteDriver(driver); }
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx4(IIPCaptureDriver* driver) { DeleteDriver(driver); }
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx5(IIPCaptureDriver* driver) { DeleteDriver(driver); }

}  // extern "C"
