// Civil-date arithmetic on 64-bit counts, so that dates past 2038 and before
// 1970 convert the same on every platform.
#include "base/file_time.h"

namespace telvora {
namespace {

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kTicksPerDay = 864000000000ull;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29u : kDays[m - 1];
}

}  // namespace

uint64_t SystemTimeToFileTime64(const SYSTEMTIME& t) {
  if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
      t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
      t.wMilliseconds > 999)
    return 0;
  const int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay) + kDays1601To1970;
  const uint64_t ms = ((static_cast<uint64_t>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000u + t.wMilliseconds;
  return static_cast<uint64_t>(days) * kTicksPerDay + ms * kTicksPerMs;
}

bool FileTime64ToSystemTime(SYSTEMTIME& out, uint64_t value) {
  // Windows refuses values with the top bit set.
  if (value >= 0x8000000000000000ull) return false;
  const int64_t days = static_cast<int64_t>(value / kTicksPerDay);
  uint64_t msOfDay = (value % kTicksPerDay) / kTicksPerMs;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days - kDays1601To1970, &y, &m, &d);
  if (y > 30827) return false;
  out.wYear = static_cast<uint16_t>(y);
  out.wMonth = static_cast<uint16_t>(m);
  out.wDay = static_cast<uint16_t>(d);
  // 1601-01-01 was a Monday.
  out.wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);
  out.wMilliseconds = static_cast<uint16_t>(msOfDay % 1000);
  msOfDay /= 1000;
  out.wSecond = static_cast<uint16_t>(msOfDay % 60);
  msOfDay /= 60;
  out.wMinute = static_cast<uint16_t>(msOfDay % 60);
  out.wHour = static_cast<uint16_t>(msOfDay / 60);
  return true;
}

}  // namespace telvora
