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

size_t StackReserveFloor() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  const bool wine = ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  return wine ? 1024 * 1024 : 0;
}

}  // namespace test
}  // namespace telvora
