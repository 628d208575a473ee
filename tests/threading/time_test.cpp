#include "threading/time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace telvora {
namespace {

SYSTEMTIME At(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t mi = 0, uint16_t s = 0,
              uint16_t ms = 0) {
  SYSTEMTIME t{};
  t.wYear = y;
  t.wMonth = mo;
  t.wDay = d;
  t.wHour = h;
  t.wMinute = mi;
  t.wSecond = s;
  t.wMilliseconds = ms;
  return t;
}

struct KnownInstant {
  const char* name;
  SYSTEMTIME time;
  uint64_t ticks;      // 100-ns units since 1601-01-01 UTC
  uint16_t dayOfWeek;  // 0 Sunday
};

const KnownInstant kInstants[] = {
    {"start of the file-time scale", At(1601, 1, 1), 0ull, 1},
    {"POSIX epoch", At(1970, 1, 1), 116444736000000000ull, 4},
    {"one second past the 32-bit time_t limit", At(2038, 1, 19, 3, 14, 8), 137919572480000000ull, 2},
    {"2100 is no leap year", At(2100, 3, 1), 157520160000000000ull, 1},
    {"leap day", At(2024, 2, 29, 12, 34, 56, 789), 133536836967890000ull, 4},
    {"leap day of a 400-year", At(2000, 2, 29, 23, 59, 59, 999), 125963423999990000ull, 2},
};

TEST(FileTime, KnownInstantsConvertBothWays) {
  for (const KnownInstant& c : kInstants) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SystemTimeToFileTime64(c.time), c.ticks);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTime64ToSystemTime(back, c.ticks));
    EXPECT_EQ(back.wYear, c.time.wYear);
    EXPECT_EQ(back.wMonth, c.time.wMonth);
    EXPECT_EQ(back.wDay, c.time.wDay);
    EXPECT_EQ(back.wHour, c.time.wHour);
    EXPECT_EQ(back.wMinute, c.time.wMinute);
    EXPECT_EQ(back.wSecond, c.time.wSecond);
    EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds);
    EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek);
  }
}

TEST(FileTime, SubMillisecondTicksAreTruncated) {
  SYSTEMTIME t{};
  ASSERT_TRUE(FileTime64ToSystemTime(t, 116444736000000000ull + 9999));
  EXPECT_EQ(t.wMilliseconds, 0);
  ASSERT_TRUE(FileTime64ToSystemTime(t, 116444736000000000ull + 10000));
  EXPECT_EQ(t.wMilliseconds, 1);
}

TEST(FileTime, InvalidFieldsGiveZero) {
  const SYSTEMTIME kInvalid[] = {
      At(2023, 2, 29),           // no leap year
      At(2100, 2, 29),           // century without leap day
      At(1600, 12, 31, 23, 59),  // before the scale
      At(2024, 13, 1),  At(2024, 0, 1), At(2024, 4, 31), At(2024, 1, 0),
      At(2024, 1, 1, 24), At(2024, 1, 1, 0, 60), At(2024, 1, 1, 0, 0, 60), At(2024, 1, 1, 0, 0, 0, 1000),
  };
  for (const SYSTEMTIME& t : kInvalid) {
    SCOPED_TRACE(testing::Message() << t.wYear << "-" << t.wMonth << "-" << t.wDay << " " << t.wHour << ":"
                                    << t.wMinute << ":" << t.wSecond << "." << t.wMilliseconds);
    EXPECT_EQ(SystemTimeToFileTime64(t), 0u);
  }
  SYSTEMTIME out{};
  EXPECT_FALSE(FileTime64ToSystemTime(out, 0x8000000000000000ull));
}

TEST(FileTime, CurrentTimeIsPlausibleAndElapsedNeverNegative) {
  const uint64_t now = GetCurrentFileTime();
  EXPECT_GT(now, 133536836967890000ull);  // after 2024-02-29
  SYSTEMTIME st{};
  GetCurrentSystemTime(st);
  EXPECT_GE(st.wYear, 2024);

  EXPECT_EQ(GetMillisecondsSince(now + 10000000ull * 3600), 0u) << "a stamp in the future";
  const uint64_t tenSecondsAgo = now - 10000000ull * 10;
  const uint32_t elapsed = GetMillisecondsSince(tenSecondsAgo);
  EXPECT_GE(elapsed, 10000u);
  EXPECT_LT(elapsed, 20000u);
}

TEST(CTime, MeasuresFromTheLastReset) {
  CTime stamp;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(stamp.GetElapsedMilliseconds(), 25u);
  stamp.SetCurrent();
  EXPECT_LT(stamp.GetElapsedMilliseconds(), 25u);
  EXPECT_GT(stamp.GetValue(), 0u);
  // Setting the wall clock moves the value, never the elapsed time.
  const uint64_t before = GetCurrentFileTime();
  for (int64_t hours : {1, -1}) {
    SetWallClockOffsetForTesting(hours * 36000000000ll);
    EXPECT_LT(stamp.GetElapsedMilliseconds(), 1000u);
    const int64_t moved = static_cast<int64_t>(GetCurrentFileTime() - before);
    EXPECT_NEAR(static_cast<double>(moved), static_cast<double>(hours * 36000000000ll), 1e7);
  }
  SetWallClockOffsetForTesting(0);
}

}  // namespace
}  // namespace telvora
