#include <gtest/gtest.h>

#include "testcam_options.h"

namespace testcam {
namespace {

bool Parse(std::vector<const char*> args, Options* options, std::string* error) {
  args.insert(args.begin(), "testcam");
  return ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(TestcamOptionsTest, ReadsTheCommandLine) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--port", "0", "--codec", "mpeg4", "--size", "320x240", "--fps", "15", "--auth", "digest",
                     "--user", "u", "--password", "p", "--protocols", "tcp,mcast", "--session-timeout", "10"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.codec, Codec::kMpeg4);
  EXPECT_EQ(o.width, 320);
  EXPECT_EQ(o.height, 240);
  EXPECT_EQ(o.fps, 15);
  EXPECT_EQ(o.auth, Auth::kDigest);
  EXPECT_EQ(o.protocols, unsigned(kProtoTcp | kProtoMcast));
  EXPECT_EQ(o.sessionTimeoutS, 10);
}

TEST(TestcamOptionsTest, RefusesWhatTheEncodersCannotServe) {
  const std::vector<std::vector<const char*>> kBad = {
      {"--port", "65536"}, {"--size", "641x480"}, {"--size", "8x8"}, {"--fps", "0"},
      {"--codec", "h265"}, {"--auth", "ntlm"},    {"--protocols", ""}, {"--user", "a:b"},
      {"--fps"},           {"--session-timeout", "0"},
  };
  for (const auto& args : kBad) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
    EXPECT_NE(error.find(args[0]), std::string::npos) << error;
  }
}

TEST(TestcamLaunchTest, PipelinesCarryTheirRequiredSettings) {
  Options o;
  o.fps = 30;
  o.codec = Codec::kH264;
  std::string h264 = BuildLaunch(o, true);
  EXPECT_NE(h264.find("is-live=true"), std::string::npos);
  EXPECT_NE(h264.find("key-int-max=30"), std::string::npos);  // a key frame every second
  EXPECT_NE(h264.find("tune=zerolatency"), std::string::npos);
  EXPECT_NE(h264.find("clockoverlay"), std::string::npos);
  EXPECT_EQ(BuildLaunch(o, false).find("clockoverlay"), std::string::npos);
  o.codec = Codec::kJpeg;
  std::string jpeg = BuildLaunch(o, false);
  size_t i420 = jpeg.find("format=I420");
  ASSERT_NE(i420, std::string::npos);
  EXPECT_LT(i420, jpeg.find("jpegenc"));
  o.codec = Codec::kMpeg4;
  std::string mpeg4 = BuildLaunch(o, false);
  EXPECT_NE(mpeg4.find(std::string("appsrc name=") + kClipSourceName), std::string::npos);
  EXPECT_NE(mpeg4.find("rtpmp4vpay name=pay0"), std::string::npos);
}

}  // namespace
}  // namespace testcam
