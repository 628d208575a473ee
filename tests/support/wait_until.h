// Waits on a condition that another thread brings about, polling it, with
// a generous bound so that a loaded machine does not fail the test.
#pragma once

#include <chrono>
#include <thread>

namespace telvora {
namespace test {

// True as soon as condition() holds; false when it still does not at the end.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace test
}  // namespace telvora
