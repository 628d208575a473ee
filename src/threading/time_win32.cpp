#include <windows.h>

#include "threading/time.h"

namespace telvora {

uint64_t SystemTimeToFileTime64(const SYSTEMTIME& time) {
  FILETIME ft;
  if (::SystemTimeToFileTime(&time, &ft) == FALSE) return 0;
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool FileTime64ToSystemTime(SYSTEMTIME& out, uint64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ::FileTimeToSystemTime(&ft, &out) != FALSE;
}

void GetCurrentSystemTime(SYSTEMTIME& out) { ::GetSystemTime(&out); }

}  // namespace telvora
