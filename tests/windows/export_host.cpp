// A host built with the same toolchain as the DLL: it knows Orvalen.dll only
// by name and its exports, as a recording server does.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

// The directory the DLL takes for the host's: the executable's, with its
// backslash.
std::string ExecutableDirectory() {
  char path[512];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string full(path, n < sizeof(path) ? n : 0);
  return full.substr(0, full.rfind('\\') + 1);
}

// One JPEG frame in one RTP packet (RFC 2435): 64x48, type 1, Q 50.
std::string JpegPacket(uint16_t sequence) {
  std::string payload = {0, 0, 0, 0, 1, 50, 64 / 8, 48 / 8};
  payload += std::string(200, '\x55');
  return test::ScriptedRtspServer::RtpPacket(26, sequence, 3600u * sequence, 0x0BADCAFE, true, payload);
}

// Orvalen.xml in the host directory asks for RTP inside the RTSP connection,
// so that one scripted TCP peer is the whole camera.
class InterleavedConfiguration {
 public:
  InterleavedConfiguration() : m_path(ExecutableDirectory() + "Orvalen.xml") {
    std::FILE* file = std::fopen(m_path.c_str(), "wb");
    if (file == nullptr) return;
    const char text[] =
        "<Configuration><Default><VideoChannel><RTPMode>RTPoverRTSP</RTPMode>"
        "<KeepAlive>0</KeepAlive></VideoChannel></Default></Configuration>";
    m_written = std::fwrite(text, 1, sizeof(text) - 1, file) == sizeof(text) - 1;
    std::fclose(file);
  }
  ~InterleavedConfiguration() { std::remove(m_path.c_str()); }
  bool Written() const { return m_written; }

 private:
  std::string m_path;
  bool m_written = false;
};

TEST_F(ExportHost, AChannelStreamsJpegFromALoopbackCameraAndCloses) {
  InterleavedConfiguration configuration;
  ASSERT_TRUE(configuration.Written());
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
      "m=video 0 RTP/AVP 26\r\na=control:trackID=1\r\n";
  test::ScriptedRtspServer camera;
  ASSERT_NE(camera.Port(), 0);
  camera.ExpectWith([](const std::string& r) { return r.rfind("DESCRIBE ", 0) == 0 ? "" : "not DESCRIBE: " + r; })
      .Send(test::DescribeAnswer(sdp))
      .ExpectWith([](const std::string& r) {
        return r.rfind("SETUP ", 0) == 0 && r.find("interleaved=0-1") != std::string::npos ? "" : "not SETUP: " + r;
      })
      .Send("RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nSession: 7\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n")
      .ExpectWith([](const std::string& r) { return r.rfind("PLAY ", 0) == 0 ? "" : "not PLAY: " + r; })
      .Send("RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\nSession: 7\r\n\r\n");
  for (uint16_t sequence = 1; sequence <= 30; ++sequence)
    camera.Send(test::ScriptedRtspServer::InterleavedFrame(0, JpegPacket(sequence))).Delay(30);
  camera.Listen(5000);
  camera.Start();
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
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  // All 30, so that the camera has reached its last step and records the
  // TEARDOWN of the close.
  EXPECT_TRUE(sink.WaitForFrames(30, 10000ms)) << "frames: " << sink.Frames().size();
  const auto frames = sink.Frames();
  ASSERT_FALSE(frames.empty());
  ASSERT_GE(frames[0].bytes.size(), 2u);
  EXPECT_EQ(frames[0].bytes[0], 0xFF);
  EXPECT_EQ(frames[0].bytes[1], 0xD8) << "a JPEG file starts with SOI";
  EXPECT_EQ(frames[0].width, 64u);
  EXPECT_EQ(frames[0].height, 48u);
  EXPECT_TRUE(capture->CloseChannel(0));
  driver->Close();
  Symbol<DeleteFn>("DeleteIPCaptureEx5")(driver);
  camera.WaitDone(6000);
  EXPECT_EQ(camera.Failures(), std::vector<std::string>{});
  EXPECT_EQ(camera.CountRequests("TEARDOWN"), 1u);
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
