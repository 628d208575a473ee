// orvalen-capture with the driver against the test camera behind a proxy
// that makes it behave like one real camera at a time. Each recording must
// reach its frame count, and the file must decode without an error.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "e2e_peers.h"
#include "e2e_summary.h"
#include "quirk_proxy.h"

namespace quirks {
namespace {

using e2e::ChildProcess;
using e2e::TempDir;

constexpr int kFps = 50;

// The keep-alive quirks need a session that lasts past its first check.
int FramesFor(Quirk quirk) {
  return quirk == Quirk::kKeepAlive454 || quirk == Quirk::kOptionsRefused || quirk == Quirk::kTimeoutBlanks ? 250 : 100;
}

class CameraQuirks : public testing::TestWithParam<std::tuple<Quirk, const char*>> {};

TEST_P(CameraQuirks, RecordsDecodableFrames) {
  const Quirk quirk = std::get<0>(GetParam());
  const std::string transport = std::get<1>(GetParam());
  TempDir dir;
  ChildProcess camera;
  std::string error;
  const std::string url = e2e::StartTestcam(
      &camera, {"--codec", "h264", "--size", "320x240", "--fps", std::to_string(kFps), "--protocols", transport},
      dir.Path(), &error);
  ASSERT_FALSE(url.empty()) << error;
  // rtsp://127.0.0.1:<port>/<path>
  const size_t portAt = url.find(':', 7) + 1;
  const size_t pathAt = url.find('/', portAt);
  const uint16_t cameraPort = static_cast<uint16_t>(std::stoi(url.substr(portAt, pathAt - portAt)));
  QuirkProxy proxy(quirk, cameraPort);
  ASSERT_NE(proxy.Port(), 0);
  const std::string proxied = "rtsp://127.0.0.1:" + std::to_string(proxy.Port()) + url.substr(pathAt);

  const int frames = FramesFor(quirk);
  std::vector<std::string> argv = {e2e::CapturePath(), "--out",       dir.Path() + "/out", "--quiet",
                                   "--frames",         std::to_string(frames), "--duration", "40",
                                   "--transport",      transport};
  if (NeedsCredentials(quirk)) argv.insert(argv.end(), {"--user", kUser, "--password", kPassword});
  argv.push_back(proxied);
  std::string output;
  const int status = e2e::RunCommand(argv, 90000, &output);
  const std::string summary = e2e::ReadFile(dir.Path() + "/out/summary.json");
  camera.Stop();

  EXPECT_EQ(status, 0) << output;
  EXPECT_GE(e2e::JsonNumber(summary, "frames"), frames) << summary;
  EXPECT_EQ(e2e::JsonNumber(summary, "bad_frames"), 0) << summary;
  EXPECT_EQ(e2e::DecodeErrors(dir.Path() + "/out/stream.h264"), "");
  EXPECT_EQ(proxy.Problems(), std::vector<std::string>{});
  EXPECT_EQ(output.find(kPassword), std::string::npos) << "the password reached the console";
  switch (quirk) {
    case Quirk::kServerOptions:
    case Quirk::kServerGetParameter:
      EXPECT_GE(proxy.RepliesToServerRequests(), 1u);
      break;
    case Quirk::kCloseAfter401:
    case Quirk::kKeepAlive454:
      EXPECT_GE(proxy.Connections(), 2u) << "a new connection after the server ended the last";
      break;
    case Quirk::kOptionsRefused:
      EXPECT_GE(proxy.Count("GET_PARAMETER"), 1u);
      break;
    default:
      break;
  }
}

std::vector<std::tuple<Quirk, const char*>> Cases() {
  std::vector<std::tuple<Quirk, const char*>> cases;
  for (int i = 0; i <= static_cast<int>(Quirk::kServerGetParameter); ++i) {
    const Quirk quirk = static_cast<Quirk>(i);
    cases.emplace_back(quirk, "tcp");
    if (!InterleavedOnly(quirk)) cases.emplace_back(quirk, "udp");
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Each, CameraQuirks, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<std::tuple<Quirk, const char*>>& info) {
                           return std::string(QuirkName(std::get<0>(info.param))) + "_" + std::get<1>(info.param);
                         });

}  // namespace
}  // namespace quirks
