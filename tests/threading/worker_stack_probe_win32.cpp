#include <windows.h>

#include "threading/worker_stack_probe.h"

namespace telvora {
namespace test {

size_t ReservedStackOfThisThread() {
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  ::GetCurrentThreadStackLimits(&low, &high);
  return static_cast<size_t>(high - low);
}

}  // namespace test
}  // namespace telvora
