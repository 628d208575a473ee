#include <windows.h>

#include "threading/event.h"

namespace telvora {

CEvent::CEvent(bool manualReset) : m_handle(::CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}

CEvent::~CEvent() {
  if (m_handle != nullptr) ::CloseHandle(m_handle);
}

bool CEvent::Set() { return m_handle != nullptr && ::SetEvent(m_handle) != FALSE; }

bool CEvent::Reset() { return m_handle != nullptr && ::ResetEvent(m_handle) != FALSE; }

bool CEvent::Wait(unsigned milliseconds) {
  if (m_handle == nullptr) return false;
  const DWORD result = ::WaitForSingleObject(m_handle, milliseconds);
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

unsigned CEvent::WaitForMultiple(CEvent* const* events, unsigned count, unsigned milliseconds) {
  if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (unsigned i = 0; i < count; ++i) {
    if (events[i] == nullptr || events[i]->GetHandle() == nullptr) return kWaitFailed;
    handles[i] = events[i]->GetHandle();
  }
  const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, milliseconds);
  if (result < WAIT_OBJECT_0 + count) return static_cast<unsigned>(result - WAIT_OBJECT_0);
  if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count)
    return static_cast<unsigned>(result - WAIT_ABANDONED_0);
  return kWaitFailed;
}

}  // namespace telvora
