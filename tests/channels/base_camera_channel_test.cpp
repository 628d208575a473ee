#include "channels/base_camera_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/fake_driver.h"
#include "support/fake_frames.h"
#include "support/wait_until.h"

namespace telvora {
namespace {

using namespace std::chrono_literals;

class LocalSink : public IHostFrameSink {
 public:
  enum Mode { kAccept, kRefuse, kThrow };
  bool OnFrame(IVideoFrame*) override {
    ++frames;
    if (mode == kThrow) throw std::runtime_error("host failure");
    return mode == kAccept;
  }
  void Reserved1() override {}
  void OnSignalLost() override { ++signalLost; }
  Mode mode = kAccept;
  std::atomic<int> frames{0};
  std::atomic<int> signalLost{0};
};

// A channel whose thread body the test chooses.
class TestChannel : public CBaseCameraChannel {
 public:
  using CBaseCameraChannel::CBaseCameraChannel;
  ~TestChannel() override { Stop(); }
  void SetOption(uint32_t) override {}

  using CBaseCameraChannel::NotifySignalLost;
  using CBaseCameraChannel::SendFrameCallback;
  using CBaseCameraChannel::SetCameraState;
  using CBaseCameraChannel::SetState;
  using CBaseCameraChannel::StartThread;

  std::atomic<int> runs{0};
  std::atomic<bool> ignoreStop{false};
  std::atomic<int> extraMs{0};
  std::atomic<bool> stopSelfReturned{false};
  std::atomic<bool> callStopFromRun{false};

 protected:
  uint32_t Run() override {
    ++runs;
    if (callStopFromRun) {
      StopThread();
      stopSelfReturned = true;
    }
    if (ignoreStop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(extraMs.load()));
      return 0;
    }
    while (!m_stopEvent.Wait(1000)) {
    }
    return 0;
  }
};

CHANNEL_SETTINGS Settings(uint32_t purpose) {
  CHANNEL_SETTINGS s{};
  s.purpose = purpose;
  return s;
}

struct NameCase {
  uint32_t inputs;
  uint32_t index;
  uint32_t purpose;
  const char* online;
  const char* stopped;
};

const NameCase kNameCases[] = {
    {1, 0, 0, "Camera 10.0.0.7 is online (Rec)", "Camera 10.0.0.7 is offline. Channel was stopped (Rec)"},
    {1, 0, 1, "Camera 10.0.0.7 is online (Live)", "Camera 10.0.0.7 is offline. Channel was stopped (Live)"},
    {1, 0, 2, "Camera 10.0.0.7 is online (Remote)", "Camera 10.0.0.7 is offline. Channel was stopped (Remote)"},
    // Unknown purposes end with nothing after the blank.
    {1, 0, 3, "Camera 10.0.0.7 is online ", "Camera 10.0.0.7 is offline. Channel was stopped "},
    {4, 2, 0, "Video-server 10.0.0.7 (channel 2) is online (Rec)",
     "Video-server 10.0.0.7 (channel 2) is offline. Channel was stopped (Rec)"},
};

TEST(BaseCameraChannel, OnlineAndStoppedLines) {
  for (const NameCase& c : kNameCases) {
    test::FakeDriver driver;
    driver.Info().address = "10.0.0.7";
    driver.SetChannelCount(c.inputs);
    LocalSink sink;
    TestChannel channel(c.index, &driver, &sink);
    CHANNEL_SETTINGS s = Settings(c.purpose);
    ASSERT_TRUE(channel.Start(&s));
    channel.SetCameraState(true);
    channel.SetCameraState(true);  // a second one writes nothing
    channel.Stop();
    const std::string prefix = "telvora::CBaseCameraChannel::SetCameraState: ";
    auto lines = driver.Logs().Lines();
    ASSERT_EQ(lines.size(), 2u) << c.online;
    EXPECT_EQ(lines[0], std::make_pair(3, prefix + c.online));
    EXPECT_EQ(lines[1], std::make_pair(3, prefix + c.stopped));
  }
}

TEST(BaseCameraChannel, SignalLostAndFailedLines) {
  test::FakeDriver driver;
  driver.Info().address = "10.0.0.7";
  LocalSink sink;
  TestChannel channel(0, &driver, &sink);
  CHANNEL_SETTINGS s = Settings(0);
  ASSERT_TRUE(channel.Start(&s));
  channel.SetCameraState(false);  // never online: nothing
  EXPECT_TRUE(driver.Logs().Lines().empty());
  channel.SetCameraState(true);
  channel.SetState(kStateSignalLost);
  channel.SetCameraState(false);
  channel.SetCameraState(true);
  channel.SetState(kStateStreaming);
  channel.SetCameraState(false);
  EXPECT_EQ(driver.Logs().CountAtLevel(
                1, "telvora::CBaseCameraChannel::SetCameraState: Signal was lost for camera 10.0.0.7 (Rec)"),
            1u);
  EXPECT_EQ(driver.Logs().CountAtLevel(1, "Camera 10.0.0.7 is offline or failed (Rec)"), 1u);
  channel.Stop();
  // Already offline: Stop adds nothing.
  EXPECT_EQ(driver.Logs().Count("Channel was stopped"), 0u);
  EXPECT_EQ(channel.GetState(), kStateStopped);
}

TEST(BaseCameraChannel, OneCaptureThreadAtATime) {
  test::FakeDriver driver;
  LocalSink sink;
  TestChannel channel(0, &driver, &sink);
  CHANNEL_SETTINGS s = Settings(0);
  ASSERT_TRUE(channel.Start(&s));
  EXPECT_FALSE(channel.StartThread());
  // ChangeFormat stops first, so it can start again.
  EXPECT_TRUE(channel.ChangeFormat(&s));
  channel.Stop();
  EXPECT_EQ(channel.runs.load(), 2);
  EXPECT_FALSE(channel.GetFlagA());
  EXPECT_FALSE(channel.GetFlagB());
}

TEST(BaseCameraChannel, ChangeFormatKeepsStreamOption2) {
  test::FakeDriver driver;
  LocalSink sink;
  class Probe : public TestChannel {
   public:
    using TestChannel::TestChannel;
    using CBaseCameraChannel::GetSettings;
  } channel(0, &driver, &sink);
  CHANNEL_SETTINGS a{1, 2, 3, 4, 5, 0};
  CHANNEL_SETTINGS b{10, 20, 30, 40, 50, 1};
  ASSERT_TRUE(channel.Start(&a));
  ASSERT_TRUE(channel.ChangeFormat(&b));
  EXPECT_EQ(channel.GetSettings().streamOption1, 10u);
  EXPECT_EQ(channel.GetSettings().streamOption2, 2u);
  EXPECT_EQ(channel.GetSettings().purpose, 1u);
  channel.Stop();
}

TEST(BaseCameraChannel, StopFromInsideRunReturnsAtOnce) {
  test::FakeDriver driver;
  LocalSink sink;
  TestChannel channel(0, &driver, &sink);
  channel.callStopFromRun = true;
  CHANNEL_SETTINGS s = Settings(0);
  ASSERT_TRUE(channel.Start(&s));
  EXPECT_TRUE(test::WaitUntil([&] { return channel.stopSelfReturned.load(); }));
  channel.Stop();
}

// Waits on a kernel event only: terminating it leaves no runtime lock taken.
unsigned EndSoon(void*) {
  CEvent never;
  never.Wait(20);
  return 0;
}

// Windows terminates a thread that overstays its stop limit; POSIX cannot
// safely, and OsTerminateThread waits for the thread's own end instead.
bool PlatformTerminatesThreads() {
  ThreadHandle probe = OsStartThread(&EndSoon, nullptr, nullptr);
  if (probe == nullptr) return false;
  const bool terminated = OsTerminateThread(probe);
  OsCloseThread(probe);
  return terminated;
}

TEST(BaseCameraChannel, ThreadThatWillNotStopIsReportedThenWaitedFor) {
  test::FakeDriver driver;
  driver.Info().address = "10.0.0.9";
  driver.Info().timeoutMs = 50;  // a limit of 100 ms
  LocalSink sink;
  TestChannel channel(0, &driver, &sink);
  channel.ignoreStop = true;
  channel.extraMs = 400;
  CHANNEL_SETTINGS s = Settings(0);
  ASSERT_TRUE(channel.Start(&s));
  auto begin = std::chrono::steady_clock::now();
  channel.Stop();
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(driver.Logs().CountAtLevel(2,
                                       "telvora::CBaseCameraChannel::StopThread: Video capture thread for camera "
                                       "10.0.0.9 cannot be stopped and will be terminated now"),
            1u);
  if (PlatformTerminatesThreads()) {
    // Terminated after the warning, without waiting for its last 400 ms.
    EXPECT_LT(took, 300ms);
  } else {
    // POSIX never kills the thread: Stop returns once it has ended by itself.
    EXPECT_GE(took, 300ms);
  }
}

TEST(BaseCameraChannel, FrameHandOffGuardsTheHost) {
  test::FakeDriver driver;
  driver.Info().address = "10.0.0.7";
  driver.Info().port = 554;
  LocalSink sink;
  TestChannel channel(0, &driver, &sink);
  test::FakeFrame frame(0, 16);
  EXPECT_TRUE(channel.SendFrameCallback(&frame));
  EXPECT_FALSE(channel.SendFrameCallback(nullptr));
  sink.mode = LocalSink::kRefuse;
  EXPECT_FALSE(channel.SendFrameCallback(&frame));
  sink.mode = LocalSink::kThrow;
  EXPECT_FALSE(channel.SendFrameCallback(&frame));
  EXPECT_EQ(driver.Logs().CountAtLevel(
                1, "telvora::CBaseCameraChannel::SendFrameCallback(): Unexpected exception, device 10.0.0.7:554"),
            1u);
  channel.NotifySignalLost();
  EXPECT_EQ(sink.signalLost.load(), 1);
}

}  // namespace
}  // namespace telvora
