// The capability query's C entry points. Nothing thrown may cross them.
#include "host/orvalen_host.h"
#include "properties/module_wide_query.h"

extern "C" {

ORVALEN_EXPORT telvora::ipcapture::IIPCapabilityQuery* ORVALEN_CALL CreateCapabilityQueryModule(
    telvora::ICapabilityQueryCallback* callback, int videoStandard) {
  try {
    return telvora::CreateQueryModule(callback, videoStandard);
  } catch (...) {
    return nullptr;
  }
}

ORVALEN_EXPORT void ORVALEN_CALL DeleteCapabilityQueryModule(telvora::ipcapture::IIPCapabilityQuery* module) {
  try {
    telvora::DeleteQueryModule(module);
  } catch (...) {
  }
}

ORVALEN_EXPORT int ORVALEN_CALL InitCapabilityQuery(telvora::ICapabilityQueryCallback* callback,
                                                    int videoStandard) {
  try {
    return telvora::InitModuleWideQuery(callback, videoStandard);
  } catch (...) {
    return 1;
  }
}

ORVALEN_EXPORT int ORVALEN_CALL StartCapabilityQuery(const char* address, int port, const char* user,
                                                     const char* password,
                                                     telvora::ICapabilityResults* results) {
  try {
    return telvora::StartModuleWideQuery(address, port, user, password, results);
  } catch (...) {
    return 0;
  }
}

ORVALEN_EXPORT int ORVALEN_CALL TerminateCapabilityQuery() {
  try {
    return telvora::TerminateModuleWideQuery();
  } catch (...) {
    return 1;
  }
}

ORVALEN_EXPORT int ORVALEN_CALL UninitCapabilityQuery() {
  try {
    return telvora::UninitModuleWideQuery();
  } catch (...) {
    return 1;
  }
}

}  // extern "C"
