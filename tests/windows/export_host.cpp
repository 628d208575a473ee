// A host built with the same toolchain as the DLL: it knows Orvalen.dll only
// by name and its exports, as a recording server does.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "host/orvalen_host.h"
#include "properties/fake_capability_host.h"
#include "support/fake_frames.h"
#include "support/fake_host.h"
#include "support/scripted_rtsp_server.h"

namespace telvora {
namespace {

using ipcapture::IIPCaptureDriver;
using ipcapture::IIPCaptureDriverEx5;
using namespace std::chrono_literals;

typedef IIPCaptureDriver*(__cdecl* CreateFn)();
typedef void(__cdecl* DeleteFn)(IIPCaptureDriver*);
typedef ipcapture::IIPCapabilityQuery*(__cdecl* CreateQueryFn)(ICapabilityQueryCallback*, int);
typedef void(__cdecl* DeleteQueryFn)(ipcapture::IIPCapabilityQuery*);
typedef int(__cdecl* InitQueryFn)(ICapabilityQueryCallback*, int);
typedef int(__cdecl* StartQueryFn)(const char*, int, const char*, const char*, ICapabilityResults*);
typedef int(__cdecl* NoArgQueryFn)();

const char* const kExports[] = {
    "CreateIPCapture",          "CreateIPCaptureEx",           "CreateIPCaptureEx2",   "CreateIPCaptureEx3",
    "CreateIPCaptureEx4",       "CreateIPCaptureEx5",          "DeleteIPCapture",      "DeleteIPCaptureEx",
    "DeleteIPCaptureEx2",       "DeleteIPCaptureEx3",          "DeleteIPCaptureEx4",   "DeleteIPCaptureEx5",
    "CreateCapabilityQueryModule", "DeleteCapabilityQueryModule", "InitCapabilityQuery", "StartCapabilityQuery",
    "TerminateCapabilityQuery", "UninitCapabilityQuery",
};

class ExportHost : public ::testing::Test {
 protected:
  void SetUp() override {
    m_module = ::LoadLibraryA("Orvalen.dll");
    ASSERT_NE(m_module, nullptr) << "LoadLibraryA failed with " << ::GetLastError();
    device.model.name = "X100";
    device.connection.address = "127.0.0.1";
    device.connection.port = 554;
  }
  void TearDown() override {
    if (m_module != nullptr) ::FreeLibrary(m_module);
  }
  template <typename F>
  F Symbol(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
  }

  test::FakeHostDevice device;
  test::FakeFrameAllocator allocator;

 private:
  HMODULE m_module = nullptr;
};

TEST_F(ExportHost, EveryExportIsFoundByItsPlainName) {
  for (const char* name : kExports) EXPECT_NE(Symbol<void*>(name), nullptr) << name;
  // Decorated or internal names are not exported.
  EXPECT_EQ(Symbol<void*>("_CreateIPCapture"), nullptr);
  EXPECT_EQ(Symbol<void*>("_ZN7telvora14COrvalenDriverC1Ev"), nullptr);
}

TEST_F(ExportHost, EachFactoryOpensAndDeletesADriver) {
  const char* const kPairs[][2] = {
      {"CreateIPCapture", "DeleteIPCapture"},       {"CreateIPCaptureEx", "DeleteIPCaptureEx"},
      {"CreateIPCaptureEx2", "DeleteIPCaptureEx2"}, {"CreateIPCaptureEx3", "DeleteIPCaptureEx3"},
      {"CreateIPCaptureEx4", "DeleteIPCaptureEx4"}, {"CreateIPCaptureEx5", "DeleteIPCaptureEx5"},
  };
  for (const auto& pair : kPairs) {
    SCOPED_TRACE(pair[0]);
    CreateFn create = Symbol<CreateFn>(pair[0]);
    DeleteFn destroy = Symbol<DeleteFn>(pair[1]);
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);
    IIPCaptureDriver* driver = create();
    ASSERT_NE(driver, nullptr);
    test::FakeLogSink log;
    ASSERT_TRUE(driver->Open(&log, &allocator, &device));
    EXPECT_EQ(log.Logs().CountAtLevel(3, "DRIVER IS OPENED"), 1u);
    // The vtable seen from this side of the DLL reaches the newest version.
    auto* ex5 = static_cast<IIPCaptureDriverEx5*>(driver);
    ASSERT_NE(ex5->GetVideoCaptureEx2(), nullptr);
    EXPECT_EQ(ex5->GetVideoCapture()->GetChannelCount(), 1u);
    driver->Close();
    EXPECT_EQ(driver->GetVideoCapture(), nullptr);
    destroy(driver);
  }
  Symbol<DeleteFn>("DeleteIPCapture")(nullptr);
}

TEST_F(ExportHost, AChannelOpensAgainstALoopbackCameraAndCloses) {
  test::ScriptedRtspServer camera;
  ASSERT_NE(camera.Port(), 0);
  camera.Listen(5000).Start();
  device.connection.address = "127.0.0.1";
  device.connection.port = camera.Port();
  device.parameters[1] = "/live/ch1";

  IIPCaptureDriver* driver = Symbol<CreateFn>("CreateIPCaptureEx5")();
  ASSERT_NE(driver, nullptr);
  test::FakeLogSink log;
  ASSERT_TRUE(driver->Open(&log, &allocator, &device));
  test::FakeFrameSink sink;
  test::FakeHostStreamSettings settings;
  ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
  ASSERT_NE(capture, nullptr);
  if (capture->OpenChannel(0, &sink, &settings)) {
    // The channel talks to the camera on its own threads; the request
    // reaching the camera shows Winsock and the threads work in the DLL.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (camera.CountRequests("DESCRIBE") == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(camera.CountRequests("DESCRIBE"), 1u);
    EXPECT_TRUE(capture->CloseChannel(0));
  }
  driver->Close();
  Symbol<DeleteFn>("DeleteIPCaptureEx5")(driver);
}

TEST_F(ExportHost, ACapabilityQueryRunsAndReportsAnUnreachableDevice) {
  test::FakeQueryCallback callback;
  test::FakeCapabilityResults results;
  auto create = Symbol<CreateQueryFn>("CreateCapabilityQueryModule");
  auto destroy = Symbol<DeleteQueryFn>("DeleteCapabilityQueryModule");
  ASSERT_NE(create, nullptr);
  ASSERT_NE(destroy, nullptr);
  ipcapture::IIPCapabilityQuery* query = create(&callback, 0);
  ASSERT_NE(query, nullptr);
  // Port 1 on loopback refuses at once.
  ASSERT_EQ(query->Start("127.0.0.1", 1, "user", "password", &results), 1);
  EXPECT_TRUE(callback.WaitFor(1, 20000ms));
  destroy(query);
  ASSERT_EQ(callback.Outcomes().size(), 1u);
  EXPECT_EQ(callback.Outcomes()[0], "failed");

  EXPECT_EQ(Symbol<StartQueryFn>("StartCapabilityQuery")(nullptr, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_NE(Symbol<InitQueryFn>("InitCapabilityQuery")(&callback, 0), 0);
  Symbol<NoArgQueryFn>("TerminateCapabilityQuery")();
  Symbol<NoArgQueryFn>("UninitCapabilityQuery")();
}

}  // namespace
}  // namespace telvora
