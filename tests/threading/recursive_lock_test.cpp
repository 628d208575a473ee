#include "threading/recursive_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/wait_until.h"

namespace telvora {
namespace {

using namespace std::chrono_literals;

TEST(RecursiveLock, OwnerReentersAndOthersWaitForTheLastUnlock) {
  CRecursiveLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());
  lock.Lock();

  std::atomic<bool> otherTryLock{true};
  std::thread([&] { otherTryLock = lock.TryLock(); }).join();
  EXPECT_FALSE(otherTryLock);

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.Lock();
    acquired = true;
    lock.Unlock();
  });
  lock.Unlock();
  lock.Unlock();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(acquired) << "one unlock of three must not release the lock";
  lock.Unlock();
  waiter.join();
  EXPECT_TRUE(acquired);

  std::thread([&] {
    otherTryLock = lock.TryLock();
    if (otherTryLock) lock.Unlock();
  }).join();
  EXPECT_TRUE(otherTryLock) << "a released lock is free for anyone";
}

TEST(RecursiveLock, EachFinalUnlockLetsExactlyOneWaiterIn) {
  CRecursiveLock lock;
  constexpr int kWaiters = 4;
  std::atomic<int> inside{0};
  std::atomic<int> entered{0};
  std::atomic<int> releaseUpTo{0};
  std::atomic<int> maxInside{0};

  lock.Lock();
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      lock.Lock();
      const int now = ++inside;
      int seen = maxInside.load();
      while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
      }
      const int order = ++entered;
      // Hold the lock until the test lets this entrant go.
      while (releaseUpTo.load() < order) std::this_thread::sleep_for(1ms);
      --inside;
      lock.Unlock();
    });
  }
  // Let every waiter reach the blocking wait.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(entered.load(), 0);
  lock.Unlock();
  for (int round = 1; round <= kWaiters; ++round) {
    ASSERT_TRUE(test::WaitUntil([&] { return entered.load() == round; })) << "round " << round;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(entered.load(), round) << "a second waiter got in while the lock was held";
    releaseUpTo = round;
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(maxInside.load(), 1);
}

TEST(RecursiveLock, KeepsMutualExclusionUnderContention) {
  CRecursiveLock lock;
  long counter = 0;  // deliberately unsynchronized apart from the lock
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      CAutoLock outer(lock);
      CAutoLock inner(lock);
      ++counter;
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(counter, 60000);
}

}  // namespace
}  // namespace telvora
