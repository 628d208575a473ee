// SYSTEMTIME and the 100-ns file time since 1601-01-01 UTC, converted by
// plain arithmetic, the same on every platform.
#pragma once

#include <cstdint>

#include "base/system_time.h"

namespace telvora {

// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;

// 0 when the fields do not form a valid time between 1601 and 30827.
uint64_t SystemTimeToFileTime64(const SYSTEMTIME& time);
// False for values with the top bit set or past the year 30827.
bool FileTime64ToSystemTime(SYSTEMTIME& out, uint64_t value);

}  // namespace telvora
