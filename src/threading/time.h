// Wall-clock time in 100-ns ticks since 1601-01-01 00:00 UTC, and the
// monotonic clock that every interval and time-out is measured on.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/file_time.h"
#include "threading/recursive_lock.h"

namespace telvora {

// The current UTC time; 0 if it cannot be converted.
uint64_t GetCurrentFileTime();
// Milliseconds from the stamp to now; 0 when the stamp is not in the past.
uint32_t GetMillisecondsSince(const uint64_t& stamp);
// The current UTC time as SYSTEMTIME.
void GetCurrentSystemTime(SYSTEMTIME& out);

// Milliseconds on a clock that a change of the system time does not move.
// Only differences between two readings mean anything.
uint64_t GetMonotonicMilliseconds();

// Moves this process's wall clock by the given 100-ns ticks, so that tests
// can step it; 0 (the default) is the system's clock.
void SetWallClockOffsetForTesting(int64_t ticks);
int64_t GetWallClockOffset();

// A time stamp that several threads read and reset. The value is wall
// time; the elapsed time is measured on the monotonic clock, so that a
// step of the system time neither ages nor rejuvenates it.
class CTime {
 public:
  CTime();  // holds the current time
  virtual ~CTime() {}
  void SetCurrent();
  uint64_t GetValue();
  uint32_t GetElapsedMilliseconds();

 private:
  CRecursiveLock m_lock;
  uint64_t m_value;
  uint64_t m_monotonicMs;
};

}  // namespace telvora
