// The capability query through the built driver library, as a host reaches
// it: the C entry points by name and nothing but the public header.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/orvalen_host.h"
#include "platform/module.h"
#include "properties/fake_capability_host.h"

namespace telvora {
namespace {

using test::FakeCapabilityResults;
using test::FakeQueryCallback;
using Calls = std::vector<std::string>;

typedef ipcapture::IIPCapabilityQuery* (*CreateFn)(ICapabilityQueryCallback*, int);
typedef void (*DeleteFn)(ipcapture::IIPCapabilityQuery*);
typedef int (*InitFn)(ICapabilityQueryCallback*, int);
typedef int (*StartFn)(const char*, int, const char*, const char*, ICapabilityResults*);
typedef int (*PlainFn)();

class CapabilityExports : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("ORVALEN_BUILD_DIR");
    const std::string path = std::string(dir != nullptr ? dir : ".") + "/src/driver/" + platform::ModuleFileName("Orvalen");
    m_module = platform::LoadModule(path.c_str());
    ASSERT_NE(m_module, nullptr) << "driver library not loadable at " << path;
  }
  void TearDown() override {
    if (m_module != nullptr) platform::FreeModule(m_module);
  }
  template <typename F>
  F Symbol(const char* name) {
    F f = reinterpret_cast<F>(platform::GetModuleSymbol(m_module, name));
    EXPECT_NE(nullptr, reinterpret_cast<void*>(f)) << name;
    return f;
  }

 private:
  void* m_module = nullptr;
};

TEST_F(CapabilityExports, ModuleWideQueryAndOwnModules) {
  auto init = Symbol<InitFn>("InitCapabilityQuery");
  auto start = Symbol<StartFn>("StartCapabilityQuery");
  auto terminate = Symbol<PlainFn>("TerminateCapabilityQuery");
  auto uninit = Symbol<PlainFn>("UninitCapabilityQuery");
  auto create = Symbol<CreateFn>("CreateCapabilityQueryModule");
  auto destroy = Symbol<DeleteFn>("DeleteCapabilityQueryModule");
  ASSERT_FALSE(HasFailure());

  FakeQueryCallback callback;
  FakeCapabilityResults results;
  EXPECT_EQ(0, start("rtsp://cam:554/live", 554, "u", "p", &results));
  EXPECT_EQ(1, init(&callback, 1));
  EXPECT_EQ(0, init(&callback, 1));
  EXPECT_EQ(0, start("rtsp://cam:554/live", 554, "u", nullptr, &results));
  EXPECT_EQ(1, start("cam:554", 554, "u", "p", &results));
  ASSERT_TRUE(callback.WaitFor(1, std::chrono::milliseconds(5000)));
  EXPECT_EQ(1, terminate());
  EXPECT_EQ(1, uninit());
  EXPECT_EQ(1, uninit());
  EXPECT_EQ(3, callback.LastCode());
  EXPECT_EQ("Failed to get camera properties: The \"cam:554\" string is not correct RTP or RTSP URL address",
            callback.LastMessage());

  FakeQueryCallback own;
  ipcapture::IIPCapabilityQuery* module = create(&own, 0);
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(1, module->Start("rtsp://cam:554/live", 554, "u", "p", &results));
  ASSERT_TRUE(own.WaitFor(1, std::chrono::milliseconds(5000)));
  destroy(module);
  destroy(nullptr);
  EXPECT_EQ(Calls{"completed"}, own.Outcomes());
  EXPECT_EQ("SetModelName(RTSP Device)", results.Calls().front());
}

}  // namespace
}  // namespace telvora
