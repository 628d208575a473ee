// The driver as a recording host loads it: dlopen, the C factory, the
// public interfaces only, against the GStreamer test camera and the fake
// camera.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "channels/channel_test_kit.h"
#include "support/fake_rtsp_camera.h"
#include "host/orvalen_host.h"
#include "support/wait_until.h"

namespace telvora {
namespace {

using namespace std::chrono_literals;
using ipcapture::IIPCaptureDriver;
using test::FourCC;
typedef IIPCaptureDriver* (*CreateFn)();
typedef void (*DeleteFn)(IIPCaptureDriver*);

std::string LibraryPath() {
  const char* dir = std::getenv("ORVALEN_BUILD_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/src/driver/Orvalen.so";
}

// testcam as a child process, its output in a file; killed at destruction.
class Testcam {
 public:
  explicit Testcam(const test::TempFolder& folder) : m_output(folder.Path() + "testcam.out") {}
  ~Testcam() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!test::WaitUntil([&] { return waitpid(m_pid, nullptr, WNOHANG) != 0; })) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  // The URL of the ready line, or "" when none came within the time.
  std::string Start(const char* program) {
    m_pid = fork();
    if (m_pid == 0) {
      const std::string out = m_output;
      if (!freopen(out.c_str(), "w", stdout) || !freopen((out + ".err").c_str(), "w", stderr)) _exit(126);
      execl(program, program, "--port", "0", "--protocols", "udp", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (m_pid < 0) return std::string();
    std::string url;
    test::WaitUntil(
        [&] {
          std::ifstream in(m_output);
          std::string line;
          while (std::getline(in, line))
            if (line.rfind("ready ", 0) == 0) {
              url = line.substr(6);
              return true;
            }
          if (waitpid(m_pid, nullptr, WNOHANG) != m_pid) return false;
          m_pid = -1;
          return true;
        },
        30s);
    return url;
  }

 private:
  std::string m_output;
  pid_t m_pid = -1;
};

class IntegrationExports : public ::testing::Test {
 protected:
  void SetUp() override {
    m_threads = test::CountOwnThreads();
    m_library = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_library, nullptr) << dlerror();
    m_create = reinterpret_cast<CreateFn>(dlsym(m_library, "CreateIPCapture"));
    m_delete = reinterpret_cast<DeleteFn>(dlsym(m_library, "DeleteIPCapture"));
    ASSERT_NE(m_create, nullptr);
    ASSERT_NE(m_delete, nullptr);
  }
  void TearDown() override {
    unsetenv("ORVALEN_HOST_DIR");
    if (m_library != nullptr) dlclose(m_library);
    EXPECT_TRUE(test::WaitForThreadCount(m_threads, 3000ms))
        << "threads left: " << test::CountOwnThreads() - m_threads;
  }

  size_t m_threads = 0;
  void* m_library = nullptr;
  CreateFn m_create = nullptr;
  DeleteFn m_delete = nullptr;
};

TEST_F(IntegrationExports, FramesFromTheTestCameraReachTheHost) {
#ifndef ORVALEN_CHANNELS_TESTCAM
  GTEST_SKIP() << "testcam is not built in this configuration";
#else
  test::TempFolder folder;
  Testcam camera(folder);
  const std::string url = camera.Start(ORVALEN_CHANNELS_TESTCAM);
  ASSERT_FALSE(url.empty()) << "testcam did not become ready";

  test::FakeHostDevice device;
  device.connection.address = url;
  device.parameters[1] = "/stream";
  test::FakeLogSink log;
  test::FakeFrameAllocator allocator;
  test::TimedFrameSink sink;
  test::FakeHostStreamSettings settings;
  const size_t threadsBefore = test::CountOwnThreads();

  IIPCaptureDriver* driver = m_create();
  ASSERT_NE(driver, nullptr);
  ASSERT_TRUE(driver->Open(&log, &allocator, &device));
  ASSERT_TRUE(driver->GetVideoCapture()->OpenChannel(0, &sink, &settings));
  const bool flowed = sink.WaitForFrames(50, 30s);
  EXPECT_TRUE(flowed) << "frames: " << sink.FrameCount();
  EXPECT_TRUE(driver->GetVideoCapture()->CloseChannel(0));
  const auto frames = sink.Frames();

  EXPECT_EQ(log.Logs().Count("Camera 127.0.0.1 is online (Rec)"), 1u);
  EXPECT_EQ(log.Logs().Count("Camera 127.0.0.1 is offline. Channel was stopped (Rec)"), 1u);
  driver->Close();
  m_delete(driver);
  EXPECT_TRUE(test::WaitForThreadCount(threadsBefore, 3000ms)) << "threads: " << test::OwnThreadNames();
  ASSERT_TRUE(flowed);

  size_t keys = 0;
  std::string stream;
  for (const auto& f : frames) {
    EXPECT_TRUE(f.format == FourCC("H264") || f.format == FourCC("I264")) << test::FourCCText(f.format);
    if (f.format == FourCC("H264")) ++keys;
    EXPECT_EQ(f.width, 640u);
    EXPECT_EQ(f.height, 480u);
    EXPECT_GT(f.bytes.size(), 0u);
    stream.append(f.bytes.begin(), f.bytes.end());
  }
  EXPECT_EQ(frames.front().format, FourCC("H264"));
  EXPECT_GE(keys, 1u);
  for (int64_t offset : sink.OffsetsMs()) EXPECT_LT(offset < 0 ? -offset : offset, 100);

  // What the host got must decode: every frame, at the camera's size.
  if (test::HaveFfmpeg()) {
    ASSERT_TRUE(folder.Write("recorded.h264", stream));
    const std::string command = "timeout 60 ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                "stream=width,height,nb_read_frames -of csv=p=0 '" +
                                folder.Path() + "recorded.h264' > '" + folder.Path() + "probe.txt' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream probe(folder.Path() + "probe.txt");
    std::stringstream text;
    text << probe.rdbuf();
    EXPECT_EQ(text.str(), "640,480," + std::to_string(frames.size()) + "\n");
  }
#endif
}

TEST_F(IntegrationExports, InterleavedFromTheHostDirectoryAndTeardownOnClose) {
  if (test::H264Stream().empty()) GTEST_SKIP() << "ffmpeg with libx264 is needed for the H.264 clip";
  test::TempFolder host;
  ASSERT_TRUE(host.Write("Orvalen.xml", test::InterleavedConfiguration()));
  setenv("ORVALEN_HOST_DIR", host.Path().c_str(), 1);
  test::FakeCameraOptions options;
  options.packets = test::H264Packets();
  test::FakeRtspCamera camera(options);

  test::FakeHostDevice device;
  device.connection.address = "127.0.0.1:" + std::to_string(camera.Port());
  device.parameters[1] = "/stream";
  test::FakeLogSink log;
  test::FakeFrameAllocator allocator;
  test::CallingSink sink;
  test::FakeHostStreamSettings settings;
  const size_t udpBefore = test::CountOwnUdpSockets();

  IIPCaptureDriver* driver = m_create();
  ASSERT_NE(driver, nullptr);
  ASSERT_TRUE(driver->Open(&log, &allocator, &device));
  ASSERT_TRUE(driver->GetVideoCapture()->OpenChannel(0, &sink, &settings));
  EXPECT_TRUE(sink.WaitForFrames(10, 15s));
  // Closing or deleting the device from inside its own frame call is refused.
  sink.call = [&] {
    driver->Close();
    m_delete(driver);
    return driver->GetVideoCapture() != nullptr;
  };
  sink.onFrame = true;
  ASSERT_TRUE(test::WaitUntil([&] { return sink.results.load() != 0; }, 10s)) << "the calls did not return";
  EXPECT_EQ(sink.results.load(), 2) << "the device is still open";
  EXPECT_EQ(log.Logs().Count("cannot be closed from inside a callback of its own streams"), 2u);
  EXPECT_EQ(test::CountOwnUdpSockets(), udpBefore) << "no UDP socket for interleaved transport";
  EXPECT_EQ(camera.Count("TEARDOWN"), 0u);
  EXPECT_TRUE(driver->GetVideoCapture()->CloseChannel(0));
  EXPECT_TRUE(camera.WaitForCount("TEARDOWN", 1, 2000ms)) << "TEARDOWN reaches the camera";
  EXPECT_EQ(log.Logs().Count("Camera 127.0.0.1 is offline. Channel was stopped (Rec)"), 1u);
  driver->Close();
  m_delete(driver);

  bool interleaved = false;
  for (const auto& r : camera.Requests())
    if (r.method == "SETUP") interleaved = r.text.find("interleaved=0-1") != std::string::npos;
  EXPECT_TRUE(interleaved);
  for (const auto& f : sink.Frames()) EXPECT_EQ(f.width, 320u);
}

TEST_F(IntegrationExports, DeviceParameterTwoOpensAnRtpOnlyStream) {
  if (test::H264Stream().empty()) GTEST_SKIP() << "ffmpeg with libx264 is needed for the H.264 clip";
  const uint16_t port = test::FindFreeUdpPortPair();
  ASSERT_NE(port, 0);
  test::FakeHostDevice device;
  device.connection.address = "127.0.0.1:" + std::to_string(port);
  device.parameters[1] = "(none)";  // parameters are read in order up to the first missing one
  device.parameters[2] = "1";
  test::FakeLogSink log;
  test::FakeFrameAllocator allocator;
  test::TimedFrameSink sink;
  test::FakeHostStreamSettings settings;

  IIPCaptureDriver* driver = m_create();
  ASSERT_NE(driver, nullptr);
  ASSERT_TRUE(driver->Open(&log, &allocator, &device));
  ASSERT_TRUE(driver->GetVideoCapture()->OpenChannel(0, &sink, &settings));
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        const auto ports = test::OwnUdpPorts();
        return std::find(ports.begin(), ports.end(), port) != ports.end();
      },
      2000ms))
      << "the device port itself is opened, no port is probed";
  test::PacedRtpSender sender(test::H264Packets(), "127.0.0.1", port);
  sender.Start();
  EXPECT_TRUE(sink.WaitForFrames(10, 10s));
  sender.Stop();
  EXPECT_TRUE(driver->GetVideoCapture()->CloseChannel(0));
  driver->Close();
  m_delete(driver);
  EXPECT_EQ(log.Logs().Count("Camera 127.0.0.1 is online (Rec)"), 1u);
  for (const auto& f : sink.Frames()) EXPECT_TRUE(f.format == FourCC("H264") || f.format == FourCC("I264"));
}

}  // namespace
}  // namespace telvora
