// Eight RTSP channels of one process streaming at once, each from its own
// camera: four over UDP (probing ports side by side) and four interleaved.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "channels/channel_test_kit.h"
#include "support/fake_rtsp_camera.h"
#include "channels/rtsp_video_channel.h"

namespace telvora {
namespace {

using namespace std::chrono_literals;

TEST(IntegrationEightChannels, StreamAtOnceAndStopCleanly) {
  if (test::H264Stream().empty()) GTEST_SKIP() << "ffmpeg with libx264 is needed for the H.264 clip";
  constexpr size_t kChannels = 8;
  const size_t threads = test::CountOwnThreads();
  test::TempFolder interleavedHost;
  ASSERT_TRUE(interleavedHost.Write("Orvalen.xml", test::InterleavedConfiguration()));
  test::FakeCameraOptions options;
  options.packets = test::H264Packets();

  std::vector<std::unique_ptr<test::FakeRtspCamera>> cameras;
  std::vector<std::unique_ptr<test::DeviceRig>> rigs;
  std::vector<std::unique_ptr<CRtspVideoChannel>> channels;
  for (size_t i = 0; i < kChannels; ++i) {
    cameras.push_back(std::make_unique<test::FakeRtspCamera>(options));
    rigs.push_back(std::make_unique<test::DeviceRig>(cameras.back()->Port()));
    if (i % 2 == 1) rigs.back()->driver.SetHostDirectory(interleavedHost.Path());
    channels.push_back(std::make_unique<CRtspVideoChannel>(0, &rigs.back()->driver, &rigs.back()->sink));
  }
  CHANNEL_SETTINGS settings{};
  for (auto& channel : channels) ASSERT_TRUE(channel->Start(&settings));
  for (size_t i = 0; i < kChannels; ++i)
    EXPECT_TRUE(rigs[i]->sink.WaitForFrames(25, 30s)) << "channel " << i << ": " << rigs[i]->sink.FrameCount();
  EXPECT_EQ(test::CountOwnProbedPorts(), kChannels) << "a port pair for each UDP channel, none for the others";

  std::vector<unsigned> ports;
  for (size_t i = 0; i < kChannels; i += 2)
    for (const auto& r : cameras[i]->Requests())
      if (r.method == "SETUP") {
        const size_t at = r.text.find("client_port=");
        ASSERT_NE(at, std::string::npos);
        ports.push_back(static_cast<unsigned>(std::atoi(r.text.c_str() + at + 12)));
      }
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(std::adjacent_find(ports.begin(), ports.end()), ports.end()) << "every channel has a pair of its own";

  for (auto& channel : channels) channel->Stop();
  for (size_t i = 0; i < kChannels; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rigs[i]->driver.Logs().Count("is online (Rec)"), 1u);
    EXPECT_EQ(rigs[i]->driver.Logs().Count("Signal was lost"), 0u);
    EXPECT_TRUE(cameras[i]->WaitForCount("TEARDOWN", 1, 2000ms));
    for (const auto& f : rigs[i]->sink.Frames()) EXPECT_EQ(f.width, 320u);
  }
  channels.clear();
  for (auto& rig : rigs) EXPECT_EQ(rig->allocator.Created(), rig->allocator.Released());
  cameras.clear();
  EXPECT_TRUE(test::WaitForThreadCount(threads, 3000ms));
}

}  // namespace
}  // namespace telvora
