#include <time.h>

#include "threading/time.h"

namespace telvora {

void GetCurrentSystemTime(SYSTEMTIME& out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const uint64_t ticks = (static_cast<uint64_t>(kDays1601To1970) * 86400u + static_cast<uint64_t>(ts.tv_sec)) * 10000000u +
                         static_cast<uint64_t>(ts.tv_nsec) / 100u + static_cast<uint64_t>(GetWallClockOffset());
  if (!FileTime64ToSystemTime(out, ticks)) out = SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0};
}

uint64_t GetMonotonicMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace telvora
