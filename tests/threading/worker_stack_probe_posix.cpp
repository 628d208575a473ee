#include <pthread.h>

#include "threading/worker_stack_probe.h"

namespace telvora {
namespace test {

size_t ReservedStackOfThisThread() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
}

}  // namespace test
}  // namespace telvora
