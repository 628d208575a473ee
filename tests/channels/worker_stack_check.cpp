// After every run of this suite, whose streams run the real worker threads
// in this process: the deepest stack any of them used stays well inside the
// reserve they get.
#include <gtest/gtest.h>

#include <cstdio>

#include "threading/os_thread.h"

namespace telvora {
namespace {

class WorkerStackCheck : public ::testing::Environment {
 public:
  void TearDown() override {
    const uint32_t deepest = OsDeepestWorkerStack();
    if (deepest == 0) return;  // not measured on this platform
    std::printf("deepest worker stack: %u of %u bytes\n", deepest, kWorkerStackBytes);
    EXPECT_LE(deepest, kWorkerStackBytes / 2) << "a worker came near the end of its stack";
  }
};

::testing::Environment* const g_check = ::testing::AddGlobalTestEnvironment(new WorkerStackCheck);

}  // namespace
}  // namespace telvora
