#include <windows.h>

#include "threading/time.h"

namespace telvora {

namespace {

// Windows refuses a day past the month's end; Wine does not, so check here.
bool DayExists(const SYSTEMTIME& t) {
  static const WORD kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1) return false;
  const bool leap = (t.wYear % 4 == 0 && t.wYear % 100 != 0) || t.wYear % 400 == 0;
  return t.wDay <= (t.wMonth == 2 && leap ? 29 : kDays[t.wMonth - 1]);
}

}  // namespace

uint64_t SystemTimeToFileTime64(const SYSTEMTIME& time) {
  if (!DayExists(time)) return 0;
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

void GetCurrentSystemTime(SYSTEMTIME& out) {
  ::GetSystemTime(&out);
  const int64_t offset = GetWallClockOffset();
  if (offset == 0) return;
  SYSTEMTIME moved;
  if (FileTime64ToSystemTime(moved, SystemTimeToFileTime64(out) + static_cast<uint64_t>(offset))) out = moved;
}

uint64_t GetMonotonicMilliseconds() { return ::GetTickCount64(); }

}  // namespace telvora
