#include "threading/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace telvora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(Event, AutoResetIsTakenByOneWaitManualStaysSet) {
  CEvent autoEvent;
  CManualEvent manual;
  EXPECT_FALSE(autoEvent.Wait(0));
  ASSERT_TRUE(autoEvent.Set());
  EXPECT_TRUE(autoEvent.Wait(0));
  EXPECT_FALSE(autoEvent.Wait(0)) << "an auto-reset event is consumed";

  ASSERT_TRUE(manual.Set());
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(10));
  ASSERT_TRUE(manual.Reset());
  EXPECT_FALSE(manual.Wait(0));
}

TEST(Event, WaitForMultipleGivesTheLowestSignalledIndex) {
  CManualEvent stop, data, frame;
  CEvent* events[] = {&stop, &data, &frame};
  frame.Set();
  data.Set();
  EXPECT_EQ(CEvent::WaitForMultiple(events, 3, 0), 1u);
  stop.Set();
  EXPECT_EQ(CEvent::WaitForMultiple(events, 3, 1000), 0u);
  stop.Reset();
  data.Reset();
  EXPECT_EQ(CEvent::WaitForMultiple(events, 3, kInfinite), 2u);

  // An auto-reset event among them is consumed only when it wins.
  CEvent pulse;
  CEvent* mixed[] = {&frame, &pulse};
  pulse.Set();
  EXPECT_EQ(CEvent::WaitForMultiple(mixed, 2, 0), 0u);
  EXPECT_TRUE(pulse.Wait(0));
}

TEST(Event, WaitForMultipleRefusesBadArguments) {
  CManualEvent a;
  a.Set();
  CEvent* withNull[] = {&a, nullptr};
  EXPECT_EQ(CEvent::WaitForMultiple(nullptr, 1, 0), kWaitFailed);
  EXPECT_EQ(CEvent::WaitForMultiple(withNull, 2, 0), kWaitFailed);
  CEvent* one[] = {&a};
  EXPECT_EQ(CEvent::WaitForMultiple(one, 0, 0), kWaitFailed);
}

TEST(Event, WaitForMultipleWakesAtOnceWhenAnotherThreadSets) {
  CManualEvent stop;
  CEvent data;
  CEvent* events[] = {&stop, &data};
  Clock::time_point setAt;
  std::thread setter([&] {
    std::this_thread::sleep_for(100ms);
    setAt = Clock::now();
    data.Set();
  });
  const unsigned index = CEvent::WaitForMultiple(events, 2, kInfinite);
  const auto woke = Clock::now();
  setter.join();
  EXPECT_EQ(index, 1u);
  // Well below any polling period a loaded machine could hide.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(woke - setAt).count(), 50);
}

TEST(Event, TimedWaitEndsAfterItsTime) {
  CManualEvent a;
  CEvent b;
  CEvent* events[] = {&a, &b};
  const auto start = Clock::now();
  EXPECT_EQ(CEvent::WaitForMultiple(events, 2, 80), kWaitFailed);
  const long long waited = MsSince(start);
  EXPECT_GE(waited, 75);
  EXPECT_LT(waited, 1000);
  const auto single = Clock::now();
  EXPECT_FALSE(b.Wait(30));
  EXPECT_GE(MsSince(single), 25);
}

}  // namespace
}  // namespace telvora
