#include "soak_clock.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

using ClockGetTime = int (*)(clockid_t, struct timespec*);

std::atomic<int64_t> g_offsetS{0};
std::atomic<ClockGetTime> g_real{nullptr};
std::atomic<bool> g_resolving{false};

// The C library's clock_gettime (with its vDSO), found once. While it is
// being looked up, or if it cannot be, the system call serves.
int RealClockGetTime(clockid_t id, struct timespec* ts) {
  ClockGetTime real = g_real.load(std::memory_order_acquire);
  if (real == nullptr && !g_resolving.exchange(true)) {
    real = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    g_real.store(real, std::memory_order_release);
  }
  if (real == nullptr) return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
  return real(id, ts);
}

}  // namespace

namespace soak {

void StepWallClock(int64_t seconds) { g_offsetS.fetch_add(seconds); }

int64_t WallClockOffset() { return g_offsetS.load(); }

}  // namespace soak

// Exported (the executable is linked with its symbols dynamic, and these are
// visible despite -fvisibility=hidden), so that the driver's own calls bind
// here before the C library's.
#define SOAK_EXPORT __attribute__((visibility("default")))

extern "C" SOAK_EXPORT int clock_gettime(clockid_t id, struct timespec* ts) {
  const int result = RealClockGetTime(id, ts);
  if (result == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
    ts->tv_sec += static_cast<time_t>(g_offsetS.load(std::memory_order_relaxed));
  return result;
}

extern "C" SOAK_EXPORT time_t time(time_t* out) {
  struct timespec ts = {0, 0};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != nullptr) *out = ts.tv_sec;
  return ts.tv_sec;
}
