#include <gtest/gtest.h>

#include "console.h"
#include "log_sink.h"
#include "summary.h"

namespace capture {
namespace {

TEST(JsonStringTest, EscapesWhateverACameraSends) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("x\ny\t"), "\"x\\ny\\t\"");
  EXPECT_EQ(JsonString(std::string("\x01\xff", 2)), "\"\\u0001\\u00ff\"");
}

StreamReport Stream(uint32_t channel, uint64_t frames) {
  StreamReport s;
  s.url = "rtsp://cam:554/live";
  s.channel = channel;
  s.opened = true;
  s.stats.frames = frames;
  s.stats.keyFrames = frames / 10;
  s.stats.bytes = frames * 1000;
  s.stats.formatCodes["H264"] = s.stats.keyFrames;
  s.stats.formatCodes["I264"] = frames - s.stats.keyFrames;
  s.stats.firstFrameMs = 120;
  s.stats.lastFrameMs = 10120;
  s.durationS = 10;
  s.onlineEvents = 1;
  s.log[3] = 2;
  return s;
}

TEST(SummaryTest, OneStreamGivesItsFieldsAtTheTop) {
  DeviceReport device;
  device.url = "rtsp://cam:554/live";
  device.opened = true;
  device.streams.push_back(Stream(0, 250));
  std::string json = SummaryJson({device});
  for (const char* field : {"\"url\": \"rtsp://cam:554/live\"", "\"frames\": 250", "\"key_frames\": 25",
                            "\"bytes\": 250000", "\"format_codes\": {\"H264\": 25, \"I264\": 225}",
                            "\"first_frame_ms\": 120.0", "\"max_gap_ms\"", "\"duration_s\": 10.0",
                            "\"signal_lost\": 0", "\"online_events\": 1", "\"log\": {\"3\": 2}", "\"width\"",
                            "\"height\""})
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
  EXPECT_EQ(json.find("\"devices\""), std::string::npos);
}

TEST(SummaryTest, SeveralDevicesGiveEntriesAndTotals) {
  DeviceReport a, b;
  a.url = "rtsp://a:554/x";
  a.streams.push_back(Stream(0, 100));
  a.log[1] = 1;
  b.url = "rtsp://b:554/x";
  b.streams.push_back(Stream(0, 50));
  b.streams.push_back(Stream(1, 0));
  b.streams[1].stats.firstFrameMs = -1;
  b.log[1] = 2;
  std::string json = SummaryJson({a, b});
  EXPECT_NE(json.find("\"devices\""), std::string::npos);
  EXPECT_NE(json.find("\"channels\""), std::string::npos);
  EXPECT_NE(json.find("\"first_frame_ms\": null"), std::string::npos);
  size_t totals = json.find("\"totals\"");
  ASSERT_NE(totals, std::string::npos);
  std::string tail = json.substr(totals);
  EXPECT_NE(tail.find("\"frames\": 150"), std::string::npos) << tail;
  EXPECT_NE(tail.find("\"streams\": 3"), std::string::npos) << tail;
  EXPECT_NE(tail.find("\"streams_with_frames\": 2"), std::string::npos) << tail;
  EXPECT_NE(tail.find("\"log\": {\"1\": 3}"), std::string::npos) << tail;
}

struct Line : CDebugInfoIf {
  Line(uint8_t l, const char* t) : level(l), text(t) {}
  uint8_t GetLevel() const override { return level; }
  const char* GetText() const override { return text; }
  uint8_t level;
  const char* text;
};

TEST(DeviceLogSinkTest, CountsLevelsAndStateLinesPerChannel) {
  Console console(false);
  DeviceLogSink sink(&console, "");
  Line lines[] = {
      {3, "telvora::CBaseCameraChannel::SetCameraState: Camera 10.0.0.7 is online (Rec)"},
      {1, "telvora::CBaseCameraChannel::SetCameraState: Signal was lost for camera 10.0.0.7 (Rec)"},
      {3, "telvora::CBaseCameraChannel::SetCameraState: Video-server 10.0.0.7 (channel 12) is online (Rec)"},
      {1, "telvora::CBaseCameraChannel::SetCameraState: Signal was lost for video-server 10.0.0.7 (channel 12) (Rec)"},
      {100, "DRIVER IS OPENED (name: Orvalen, device model: X, address: 10.0.0.7:554)"},
      {3, nullptr},
  };
  for (Line& line : lines) sink.Write(&line);
  sink.Write(nullptr);
  LogCounts counts = sink.Counts();
  EXPECT_EQ(counts.byLevel[1], 2u);
  EXPECT_EQ(counts.byLevel[3], 3u);
  EXPECT_EQ(counts.byLevel[100], 1u);
  EXPECT_EQ(counts.onlineByChannel[0], 1u);
  EXPECT_EQ(counts.onlineByChannel[12], 1u);
  EXPECT_EQ(counts.signalLostByChannel[0], 1u);
  EXPECT_EQ(counts.signalLostByChannel[12], 1u);

  sink.BeginClosing();
  sink.Write(&lines[0]);
  EXPECT_EQ(sink.Counts().onlineByChannel[0], 1u);
  EXPECT_EQ(sink.Counts().byLevel[3], 4u);
}

}  // namespace
}  // namespace capture
