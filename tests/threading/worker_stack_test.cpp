// Worker threads reserve a small stack of their own (kWorkerStackBytes), not
// the executable's default, and can use a good part of it (sanitizers keep
// their thread data at its top).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "threading/os_thread.h"
#include "threading/worker_stack_probe.h"

namespace telvora {
namespace {

struct Probe {
  size_t depth = 0;  // bytes of stack the routine uses
  size_t reserved = 0;
  bool reached = false;
};

// Recursion that touches about `bytes` of stack below the caller.
__attribute__((noinline)) size_t UseStack(size_t bytes) {
  volatile char block[4096];
  std::memset(const_cast<char*>(block), 1, sizeof(block));
  if (bytes <= sizeof(block)) return block[0];
  return block[100] + UseStack(bytes - sizeof(block));
}

unsigned Routine(void* argument) {
  Probe* probe = static_cast<Probe*>(argument);
  probe->reserved = test::ReservedStackOfThisThread();
  UseStack(probe->depth);
  probe->reached = true;
  return 0;
}

TEST(WorkerStack, ReservesTheSmallStackAndLetsAWorkerUseIt) {
  Probe probe;
  probe.depth = kWorkerStackBytes / 4;
  ThreadHandle thread = OsStartThread(&Routine, &probe, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(OsWaitThread(thread, 10000));
  OsCloseThread(thread);
  EXPECT_TRUE(probe.reached);
  // At least what was asked for (sanitizers add their thread data, Wine
  // rounds up to 1 MiB) and below what a thread gets by default.
  size_t byDefault = 0;
  std::thread([&] { byDefault = test::ReservedStackOfThisThread(); }).join();
  EXPECT_GE(probe.reserved, kWorkerStackBytes);
  EXPECT_LT(probe.reserved, byDefault);
  // Where the depth is measured (POSIX), it saw this worker's.
  const uint32_t deepest = OsDeepestWorkerStack();
  if (deepest != 0) {
    EXPECT_GE(deepest, probe.depth);
    EXPECT_LE(deepest, kWorkerStackBytes);
  }
}

}  // namespace
}  // namespace telvora
