#include "threading/base_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/fake_driver.h"
#include "support/wait_until.h"
#include "base/string_format.h"

namespace telvora {
namespace {

using namespace std::chrono_literals;

// A worker whose behaviour each test picks.
class TestThread : public CBaseThread {
 public:
  enum class Body { kUntilStopped, kIgnoreStop, kStopItself, kThrow };
  TestThread(IDebugMessage* log, Body body) : CBaseThread(log), m_body(body) {}
  ~TestThread() override {
    m_gate.Set();
    StopThread(5000);
  }

  bool StopEventSet() { return m_stopEvent.Wait(0); }
  void OpenGate() { m_gate.Set(); }

  std::atomic<int> runs{0};
  std::atomic<bool> selfStopResult{true};
  std::atomic<bool> selfJoinResult{true};

 protected:
  void Run() override {
    ++runs;
    switch (m_body) {
      case Body::kUntilStopped:
        m_stopEvent.Wait(kInfinite);
        break;
      case Body::kIgnoreStop:
        m_gate.Wait(kInfinite);
        break;
      case Body::kStopItself:
        selfStopResult = StopThread(1000);
        selfJoinResult = JoinThread(1000);
        break;
      case Body::kThrow:
        throw std::runtime_error("worker failed");
    }
  }

 private:
  Body m_body;
  CManualEvent m_gate;
};

TEST(BaseThread, JoinOrStopWithoutThreadOnlySetsTheStopEvent) {
  test::FakeDriver log;
  TestThread t(&log, TestThread::Body::kUntilStopped);
  EXPECT_TRUE(t.JoinThread(10));
  EXPECT_TRUE(t.StopEventSet());
  EXPECT_TRUE(t.StopThread(10));
  EXPECT_TRUE(log.Logs().Lines().empty());
}

TEST(BaseThread, StopsOnRequestAndCanBeRestarted) {
  test::FakeDriver log;
  TestThread t(&log, TestThread::Body::kUntilStopped);
  ASSERT_TRUE(t.StartThread("Worker"));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_FALSE(t.StartThread("Second")) << "a running thread is left alone";
  EXPECT_FALSE(t.StopEventSet());
  EXPECT_EQ(t.GetThreadName(), "Worker");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(t.StopThread(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(t.IsRunning());

  ASSERT_TRUE(t.StartThread("Worker again"));
  EXPECT_TRUE(t.JoinThread(2000));
  EXPECT_EQ(t.runs.load(), 2);
  EXPECT_NE(t.GetThreadId(), 0u);
  EXPECT_TRUE(log.Logs().Lines().empty()) << "a cooperative stop writes nothing";
}

TEST(BaseThread, AWorkerCannotWaitForItself) {
  test::FakeDriver log;
  TestThread t(&log, TestThread::Body::kStopItself);
  ASSERT_TRUE(t.StartThread("Self"));
  EXPECT_TRUE(t.JoinThread(2000));
  EXPECT_FALSE(t.selfStopResult.load());
  EXPECT_FALSE(t.selfJoinResult.load());
  EXPECT_TRUE(log.Logs().Lines().empty());
}

TEST(BaseThread, AnExceptionEndsOnlyTheWorker) {
  test::FakeDriver log;
  TestThread t(&log, TestThread::Body::kThrow);
  ASSERT_TRUE(t.StartThread("Thrower"));
  EXPECT_TRUE(t.JoinThread(2000));
  EXPECT_FALSE(t.IsRunning());
}

// Waits on a kernel event only: terminating it leaves no runtime lock taken.
unsigned EndSoon(void*) {
  CEvent never;
  never.Wait(20);
  return 0;
}

// Windows terminates a thread that overstays its stop limit; POSIX cannot
// safely, and OsTerminateThread waits for the thread's own end instead.
bool PlatformTerminatesThreads() {
  ThreadHandle probe = OsStartThread(&EndSoon, nullptr, nullptr);
  if (probe == nullptr) return false;
  const bool terminated = OsTerminateThread(probe);
  OsCloseThread(probe);
  return terminated;
}

// A thread that ignores its stop event: the stopper warns once its limit
// has passed, then keeps waiting, or terminates the thread where the
// platform can; the thread is never freed under its feet.
struct StubbornCase {
  bool stop;  // StopThread, else JoinThread
  const char* warning;
  int finalLevel;  // level of a closing line, 0 for none
};

class StubbornThread : public ::testing::TestWithParam<StubbornCase> {};

TEST_P(StubbornThread, WarnsAtLevelTwoThenWaitsForTheEnd) {
  const StubbornCase& c = GetParam();
  test::FakeDriver log;
  TestThread t(&log, TestThread::Body::kIgnoreStop);
  ASSERT_TRUE(t.StartThread("Stubborn"));
  const uint32_t id = t.GetThreadId();

  std::atomic<bool> returned{false};
  std::atomic<bool> result{false};
  std::thread stopper([&] {
    result = c.stop ? t.StopThread(50) : t.JoinThread(50);
    returned = true;
  });
  const std::string function = c.stop ? "telvora::CBaseThread::StopThread" : "telvora::CBaseThread::JoinThread";
  const std::string expected =
      FormatString("%s: Thread (id=%u, name=\"Stubborn\") for device 127.0.0.1:554 was not stopped during 50 "
                   "milliseconds%s",
                   function.c_str(), id, c.warning);
  ASSERT_TRUE(log.Logs().WaitFor("was not stopped during", 3s));
  if (c.stop && PlatformTerminatesThreads()) {
    // Terminated after the warning: the stopper returns without the gate.
    stopper.join();
  } else {
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned.load()) << "the stopper must wait for the thread to end";
    EXPECT_TRUE(t.IsRunning());
    t.OpenGate();
    stopper.join();
  }
  EXPECT_TRUE(result.load());
  EXPECT_FALSE(t.IsRunning());

  const auto lines = log.Logs().Lines();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 2);
  EXPECT_EQ(lines[0].second, expected);
  if (c.finalLevel != 0) {
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].first, c.finalLevel);
    EXPECT_EQ(lines[1].second,
              FormatString("%s: Thread (id=%u, name=\"Stubborn\") was stopped correctly", function.c_str(), id));
  } else {
    EXPECT_EQ(lines.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, StubbornThread,
                         ::testing::Values(StubbornCase{true, " and will be terminated!", 0},
                                           StubbornCase{false, "", 3}));

// Where a thread cannot be terminated, a stop that may leave it returns at
// its limit; the thread ends later by itself and frees what the platform
// kept for it (ASan in CI sees a leak otherwise).
TEST(WorkerThread, AStopPastItsLimitLeavesTheThreadToEndByItself) {
  auto gate = std::make_shared<CManualEvent>();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  int overdue = 0;
  CWorkerThread::StopResult result;
  {
    CWorkerThread worker;
    ASSERT_TRUE(worker.Start([gate, ended] {
      gate->Wait(kInfinite);
      *ended = true;
    }));
    const auto start = std::chrono::steady_clock::now();
    result = worker.Stop(50, CWorkerThread::Overdue::kTerminateOrLeave, [&] { ++overdue; });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(worker.HasThread());
  }
  EXPECT_EQ(overdue, 1);
  if (kOsTerminatesThreads) {
    EXPECT_EQ(result, CWorkerThread::StopResult::kTerminated);
    return;
  }
  EXPECT_EQ(result, CWorkerThread::StopResult::kLeftRunning);
  EXPECT_FALSE(ended->load());
  gate->Set();
  EXPECT_TRUE(test::WaitUntil([&] { return ended->load(); }, 10s));
}

}  // namespace
}  // namespace telvora
