// The single query module that the host drives through the module-wide
// functions. Not thread-safe: the host calls these one at a time, though
// Uninit may come from inside the module's own callback.
#pragma once

#include "host/orvalen_host.h"

namespace telvora {

// A new query object for the caller, or null when memory is short.
ipcapture::IIPCapabilityQuery* CreateQueryModule(ICapabilityQueryCallback* callback, int videoStandard);
void DeleteQueryModule(ipcapture::IIPCapabilityQuery* module);

// 0 when the module exists already, else 1 (the module stays absent when
// memory is short).
int InitModuleWideQuery(ICapabilityQueryCallback* callback, int videoStandard);
// 0 for a null address, user or password or without Init; else Start's result.
int StartModuleWideQuery(const char* address, int port, const char* user, const char* password,
                         ICapabilityResults* results);
int TerminateModuleWideQuery();
int UninitModuleWideQuery();

}  // namespace telvora
