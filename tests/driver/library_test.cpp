// Loads the built driver library the way a recording host does: dlopen, the
// C factories by name, and nothing but the public header.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "host/orvalen_host.h"
#include "support/fake_frames.h"
#include "support/fake_host.h"

namespace {

using telvora::ipcapture::IIPCaptureDriver;
using telvora::ipcapture::IIPCaptureDriverEx5;
typedef IIPCaptureDriver* (*CreateFn)();
typedef void (*DeleteFn)(IIPCaptureDriver*);

std::string LibraryPath() {
  const char* dir = std::getenv("ORVALEN_BUILD_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/src/driver/Orvalen.so";
}

class DriverLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    m_handle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_handle, nullptr) << dlerror();
    device.model.name = "X100";
    device.connection.address = "rtsp://cam.local:8554/live/ch1";
    device.connection.port = 554;
  }
  void TearDown() override {
    unsetenv("BRENLOW_VERSION");
    if (m_handle != nullptr) dlclose(m_handle);
  }
  template <typename F>
  F Symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(m_handle, name));
  }

  telvora::test::FakeHostDevice device;
  telvora::test::FakeFrameAllocator allocator;

 private:
  void* m_handle = nullptr;
};

struct FactoryCase {
  const char* create;
  const char* destroy;
  const char* version;  // BRENLOW_VERSION, null when unset
  int startUpLevel;
};

const FactoryCase kFactories[] = {
    {"CreateIPCapture", "DeleteIPCapture", "5.11.0.0", 2},
    {"CreateIPCaptureEx", "DeleteIPCaptureEx", nullptr, 3},
    {"CreateIPCaptureEx2", "DeleteIPCaptureEx2", "6.2.0.0", 3},
    {"CreateIPCaptureEx3", "DeleteIPCaptureEx3", "6.3.0.0", 100},
    {"CreateIPCaptureEx4", "DeleteIPCaptureEx4", "5.12.0.0", 3},
    {"CreateIPCaptureEx5", "DeleteIPCaptureEx5", "7.1.0.0", 100},
};

TEST_F(DriverLibrary, EveryFactoryMakesAnOpenableDriver) {
  for (const FactoryCase& c : kFactories) {
    SCOPED_TRACE(c.create);
    if (c.version != nullptr)
      setenv("BRENLOW_VERSION", c.version, 1);
    else
      unsetenv("BRENLOW_VERSION");
    CreateFn create = Symbol<CreateFn>(c.create);
    DeleteFn destroy = Symbol<DeleteFn>(c.destroy);
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);

    IIPCaptureDriver* driver = create();
    ASSERT_NE(driver, nullptr);
    telvora::test::FakeLogSink log;
    ASSERT_TRUE(driver->Open(&log, &allocator, &device));
    const auto lines = log.Logs().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, c.startUpLevel);
    EXPECT_EQ(lines[0].second, "DRIVER IS OPENED (name: Orvalen, device model: X100, address: cam.local:8554)");

    // One object serves every interface version.
    auto* ex5 = static_cast<IIPCaptureDriverEx5*>(driver);
    ASSERT_NE(ex5->GetVideoCaptureEx2(), nullptr);
    EXPECT_EQ(static_cast<void*>(ex5->GetVideoCapture()),
              static_cast<void*>(static_cast<telvora::ipcapture::IIPVideoCapture*>(ex5->GetVideoCaptureEx2())));
    EXPECT_EQ(ex5->GetReserved4(), nullptr);

    driver->Close();
    EXPECT_EQ(driver->GetVideoCapture(), nullptr);
    destroy(driver);
  }
}

// A stream to a camera that cannot be reached: it is stored, and closing it
// ends its threads well within the device's stop limit.
TEST_F(DriverLibrary, AStreamOpensAndClosesThroughTheCaptureObject) {
  IIPCaptureDriver* driver = Symbol<CreateFn>("CreateIPCapture")();
  ASSERT_NE(driver, nullptr);
  device.connection.address = "rtsp://127.0.0.1:9/none";  // the discard port: nothing listens
  telvora::test::FakeLogSink log;
  ASSERT_TRUE(driver->Open(&log, &allocator, &device));
  telvora::ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
  telvora::test::FakeFrameSink sink;
  telvora::test::FakeHostStreamSettings settings;
  EXPECT_FALSE(capture->OpenChannel(1, &sink, &settings)) << "one video input only";
  capture->OpenChannel(0, &sink, &settings);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(capture->CloseChannel(0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(sink.FrameCount(), 0u);
  DeleteFn destroy = Symbol<DeleteFn>("DeleteIPCapture");
  destroy(driver);
}

TEST_F(DriverLibrary, DeletingNullIsHarmlessAndTheVirtualDestructorWorks) {
  for (const char* name : {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3",
                           "DeleteIPCaptureEx4", "DeleteIPCaptureEx5"}) {
    DeleteFn destroy = Symbol<DeleteFn>(name);
    ASSERT_NE(destroy, nullptr) << name;
    destroy(nullptr);
  }
  IIPCaptureDriver* driver = Symbol<CreateFn>("CreateIPCaptureEx5")();
  ASSERT_NE(driver, nullptr);
  telvora::test::FakeLogSink log;
  ASSERT_TRUE(driver->Open(&log, &allocator, &device));
  delete driver;  // a host may delete through the interface instead
}

TEST_F(DriverLibrary, InternalSymbolsStayHidden) {
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "CreateIPCapture"), nullptr) << "loaded locally, as a host does";
  EXPECT_EQ(Symbol<void*>("_ZN7telvora14COrvalenDriverC1Ev"), nullptr);
  EXPECT_EQ(Symbol<void*>("_ZN7telvora12FormatStringB5cxx11EPKcz"), nullptr);
}

}  // namespace
