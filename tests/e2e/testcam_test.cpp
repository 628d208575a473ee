// The test camera against FFmpeg as the client: every codec over UDP and
// TCP, and Basic and Digest with the right and a wrong password. These need
// no driver, so they guard the peer the driver is tested against.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "e2e_peers.h"

namespace e2e {
namespace {

struct CodecCase {
  const char* codec;
  const char* ffprobeName;
};

const CodecCase kCodecs[] = {{"h264", "h264"}, {"jpeg", "mjpeg"}, {"mpeg4", "mpeg4"}};

class TestcamCodec : public testing::TestWithParam<CodecCase> {};

TEST_P(TestcamCodec, ServesRealTimeVideoOverUdpAndTcp) {
  TempDir dir;
  ChildProcess camera;
  std::string error;
  std::string url = StartTestcam(&camera, {"--codec", GetParam().codec, "--size", "320x240", "--fps", "25"},
                                 dir.Path(), &error);
  ASSERT_FALSE(url.empty()) << error;
  for (const char* transport : {"udp", "tcp"}) {
    SCOPED_TRACE(transport);
    std::string file = dir.Path() + "/" + transport + ".mkv";
    std::string output;
    ASSERT_EQ(RecordWithFfmpeg(url, transport, 3, file, &output), 0) << output;
    ProbeResult probe = ProbeVideo(file);
    ASSERT_TRUE(probe.ok) << probe.error;
    EXPECT_EQ(probe.codec, GetParam().ffprobeName);
    EXPECT_EQ(probe.width, 320);
    EXPECT_EQ(probe.height, 240);
    // 3 s at 25 fps, within 15%.
    EXPECT_GE(probe.frames, 64);
    EXPECT_LE(probe.frames, 86);
    EXPECT_EQ(DecodeErrors(file), "");
  }
  camera.Stop();
}

INSTANTIATE_TEST_SUITE_P(AllCodecs, TestcamCodec, testing::ValuesIn(kCodecs),
                         [](const testing::TestParamInfo<CodecCase>& info) { return info.param.codec; });

class TestcamAuth : public testing::TestWithParam<const char*> {};

TEST_P(TestcamAuth, AdmitsTheRightPasswordOnly) {
  TempDir dir;
  ChildProcess camera;
  std::string error;
  std::string url = StartTestcam(
      &camera, {"--codec", "jpeg", "--auth", GetParam(), "--user", "alice", "--password", "s3cret"}, dir.Path(),
      &error);
  ASSERT_FALSE(url.empty()) << error;
  std::string output;
  EXPECT_EQ(RecordWithFfmpeg(WithCredentials(url, "alice", "s3cret"), "tcp", 1, dir.Path() + "/ok.mkv", &output), 0)
      << output;
  EXPECT_NE(RecordWithFfmpeg(WithCredentials(url, "alice", "wrong"), "tcp", 1, dir.Path() + "/no.mkv", &output), 0);
  EXPECT_NE(output.find("401"), std::string::npos) << output;
  EXPECT_NE(RecordWithFfmpeg(url, "tcp", 1, dir.Path() + "/anon.mkv", &output), 0);
  camera.Stop();
}

INSTANTIATE_TEST_SUITE_P(Methods, TestcamAuth, testing::Values("basic", "digest"));

TEST(TestcamCli, RefusesBadOptionsNamingThem) {
  struct Case {
    std::vector<std::string> args;
    const char* named;
  };
  const Case kCases[] = {
      {{"--codec", "vp8"}, "--codec"},
      {{"--size", "640"}, "--size"},
      {{"--protocols", "udp,sctp"}, "--protocols"},
      {{"--frobnicate"}, "--frobnicate"},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {TestcamPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string output;
    EXPECT_EQ(RunCommand(argv, 10000, &output), 2) << c.named;
    EXPECT_NE(output.find(c.named), std::string::npos) << output;
  }
}

TEST(TestcamLifecycle, StopsCleanlyOnSigintWithClientsAttached) {
  TempDir dir;
  ChildProcess camera;
  std::string error;
  std::string url = StartTestcam(&camera, {"--codec", "h264"}, dir.Path(), &error);
  ASSERT_FALSE(url.empty()) << error;
  ChildProcess client;
  ASSERT_TRUE(client.Start({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-f", "null",
                            "-"},
                           dir.Path() + "/client"));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  camera.Signal(SIGINT);
  EXPECT_EQ(camera.Wait(10000), 0) << camera.Stderr();
  client.Stop();
}

}  // namespace
}  // namespace e2e
