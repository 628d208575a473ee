#include <windows.h>

#include "threading/time.h"

namespace telvora {

void GetCurrentSystemTime(SYSTEMTIME& out) {
  ::GetSystemTime(&out);
  const int64_t offset = GetWallClockOffset();
  if (offset == 0) return;
  SYSTEMTIME moved;
  if (FileTime64ToSystemTime(moved, SystemTimeToFileTime64(out) + static_cast<uint64_t>(offset))) out = moved;
}

uint64_t GetMonotonicMilliseconds() { return ::GetTickCount64(); }

}  // namespace telvora
