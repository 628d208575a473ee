#include "properties/module_wide_query.h"

#include <new>

#include "properties/rtsp_capability_query_module.h"

namespace telvora {
namespace {

ipcapture::IIPCapabilityQuery* g_moduleWideQuery = nullptr;

}  // namespace

ipcapture::IIPCapabilityQuery* CreateQueryModule(ICapabilityQueryCallback* callback, int videoStandard) {
  try {
    return new (std::nothrow) CRTSPCapabilityQueryModule(callback, videoStandard);
  } catch (...) {
    return nullptr;
  }
}

void DeleteQueryModule(ipcapture::IIPCapabilityQuery* module) { delete module; }

int InitModuleWideQuery(ICapabilityQueryCallback* callback, int videoStandard) {
  if (g_moduleWideQuery != nullptr) return 0;
  g_moduleWideQuery = CreateQueryModule(callback, videoStandard);
  return 1;
}

int StartModuleWideQuery(const char* address, int port, const char* user, const char* password,
                         ICapabilityResults* results) {
  if (address == nullptr || user == nullptr || password == nullptr || g_moduleWideQuery == nullptr) return 0;
  return g_moduleWideQuery->Start(address, port, user, password, results);
}

int TerminateModuleWideQuery() {
  if (g_moduleWideQuery != nullptr) g_moduleWideQuery->Terminate();
  return 1;
}

int UninitModuleWideQuery() {
  // Cleared first, so a callback running inside the deletion sees no module.
  ipcapture::IIPCapabilityQuery* module = g_moduleWideQuery;
  g_moduleWideQuery = nullptr;
  delete module;
  return 1;
}

}  // namespace telvora
