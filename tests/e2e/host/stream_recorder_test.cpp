#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "host_frames.h"
#include "stream_recorder.h"

namespace capture {
namespace {

std::string TempFolder() {
  char pattern[] = "/tmp/recorder-test-XXXXXX";
  return mkdtemp(pattern) ? pattern : "";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A frame as the driver fills one: bytes, size, format code and picture size.
telvora::IVideoFrame* Make(HostFrameAllocator& allocator, const char* code, std::vector<uint8_t> bytes,
                           uint32_t capacity = 0, uint32_t declared = 0) {
  telvora::IVideoFrame* frame =
      allocator.CreateFrame(FourCC(code), capacity ? capacity : static_cast<uint32_t>(bytes.size()), "Orvalen");
  std::copy(bytes.begin(), bytes.end(), frame->GetData());
  frame->SetDataSize(declared ? declared : static_cast<uint32_t>(bytes.size()));
  frame->SetFormat(FourCC(code));
  frame->SetWidth(640);
  frame->SetHeight(480);
  return frame;
}

class RecorderTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = TempFolder(); }
  void TearDown() override {
    for (const char* name : {"stream.h264", "stream.mjpeg", "stream.m4v"}) std::remove((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  bool Deliver(StreamRecorder& recorder, telvora::IVideoFrame* frame) {
    bool taken = recorder.OnFrame(frame);
    allocator_.ReleaseFrame(frame);
    return taken;
  }
  std::string dir_;
  HostFrameAllocator allocator_;
};

const std::vector<uint8_t> kIdr = {0, 0, 0, 1, 0x65, 0x88, 0x84};
const std::vector<uint8_t> kSlice = {0, 0, 1, 0x41, 0x9A};
const std::vector<uint8_t> kJpeg = {0xFF, 0xD8, 0xFF, 0xDB, 0xFF, 0xD9};
const std::vector<uint8_t> kVop = {0, 0, 1, 0xB6, 0x10};

TEST_F(RecorderTest, WritesFramesInOrderToTheFileOfTheirCodec) {
  struct Case {
    const char* key;
    const char* other;
    std::vector<uint8_t> keyBytes, otherBytes;
    const char* file;
    const char* codec;
  };
  const Case kCases[] = {
      {"H264", "I264", kIdr, kSlice, "stream.h264", "h264"},
      {"JPEG", "JPEG", kJpeg, kJpeg, "stream.mjpeg", "jpeg"},
      {"DIVX", "DIVI", kVop, kVop, "stream.m4v", "mpeg4"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.file);
    StreamRecorder recorder(dir_, true, 0);
    EXPECT_TRUE(Deliver(recorder, Make(allocator_, c.key, c.keyBytes)));
    EXPECT_TRUE(Deliver(recorder, Make(allocator_, c.other, c.otherBytes)));
    recorder.CloseFile();
    StreamStats stats = recorder.Stats();
    EXPECT_EQ(stats.frames, 2u);
    EXPECT_EQ(stats.keyFrames, std::string(c.key) == c.other ? 2u : 1u);
    EXPECT_EQ(stats.bytes, c.keyBytes.size() + c.otherBytes.size());
    EXPECT_EQ(stats.codec, c.codec);
    EXPECT_EQ(stats.file, c.file);
    EXPECT_EQ(stats.width, 640u);
    EXPECT_GE(stats.firstFrameMs, 0);
    std::string expected(c.keyBytes.begin(), c.keyBytes.end());
    expected.append(c.otherBytes.begin(), c.otherBytes.end());
    EXPECT_EQ(Slurp(dir_ + "/" + c.file), expected);
  }
  EXPECT_EQ(allocator_.Outstanding(), 0);
}

TEST_F(RecorderTest, TheLastH264DelimiterIsLeftOutOfTheFile) {
  // The driver ends every H.264 frame with 00 00 01 09 30.
  std::vector<uint8_t> key = kIdr, other = kSlice;
  const std::vector<uint8_t> aud = {0, 0, 1, 0x09, 0x30};
  key.insert(key.end(), aud.begin(), aud.end());
  other.insert(other.end(), aud.begin(), aud.end());
  StreamRecorder recorder(dir_, true, 0);
  EXPECT_TRUE(Deliver(recorder, Make(allocator_, "H264", key)));
  EXPECT_TRUE(Deliver(recorder, Make(allocator_, "I264", other)));
  recorder.CloseFile();
  std::string expected(key.begin(), key.end());
  expected.append(other.begin(), other.end() - 5);
  EXPECT_EQ(Slurp(dir_ + "/stream.h264"), expected);
  // The summary still counts the bytes as handed over.
  EXPECT_EQ(recorder.Stats().bytes, key.size() + other.size());
}

TEST_F(RecorderTest, RefusesFramesThatCannotBeRight) {
  StreamRecorder recorder(dir_, true, 0);
  // Size beyond the buffer the driver asked for.
  EXPECT_FALSE(Deliver(recorder, Make(allocator_, "H264", kIdr, 0, 100)));
  EXPECT_FALSE(Deliver(recorder, Make(allocator_, "XVID", kVop)));
  EXPECT_FALSE(Deliver(recorder, Make(allocator_, "JPEG", {0x00, 0xD8, 0xFF, 0xD9})));
  EXPECT_FALSE(Deliver(recorder, Make(allocator_, "DIVX", {0, 0, 0, 1, 0xB6})));
  struct Stranger : telvora::IVideoFrame {
    uint8_t* GetData() override { return nullptr; }
    void SetDataSize(uint32_t) override {}
    void SetTime(const SYSTEMTIME*) override {}
    void GetTime(SYSTEMTIME*) override {}
    void SetFormat(uint32_t) override {}
    void SetHeight(uint32_t) override {}
    void SetWidth(uint32_t) override {}
    void SetResolutionClass(uint32_t) override {}
  } stranger;
  EXPECT_FALSE(recorder.OnFrame(&stranger));
  EXPECT_FALSE(recorder.OnFrame(nullptr));
  StreamStats stats = recorder.Stats();
  EXPECT_EQ(stats.frames, 0u);
  EXPECT_EQ(stats.badFrames, 6u);
  EXPECT_FALSE(recorder.TakeNotice().empty());
  EXPECT_EQ(recorder.TakeNotice(), "");
  recorder.CloseFile();
  EXPECT_EQ(Slurp(dir_ + "/stream.h264"), "");
}

TEST_F(RecorderTest, KeepsExactlyTheFrameLimit) {
  StreamRecorder recorder(dir_, true, 3);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Deliver(recorder, Make(allocator_, "JPEG", kJpeg)));
  recorder.CloseFile();
  EXPECT_TRUE(recorder.LimitReached());
  EXPECT_EQ(recorder.Stats().frames, 3u);
  EXPECT_EQ(Slurp(dir_ + "/stream.mjpeg").size(), 3 * kJpeg.size());
}

TEST_F(RecorderTest, CountsWithoutWritingAndAfterClose) {
  StreamRecorder counting(dir_, false, 0);
  EXPECT_TRUE(Deliver(counting, Make(allocator_, "H264", kIdr)));
  EXPECT_EQ(counting.Stats().frames, 1u);
  EXPECT_EQ(counting.Stats().file, "");
  StreamRecorder closed(dir_, true, 0);
  closed.CloseFile();
  // Frames that arrive while the driver closes are counted, never written
  // into a closed file.
  EXPECT_TRUE(Deliver(closed, Make(allocator_, "H264", kIdr)));
  EXPECT_EQ(closed.Stats().frames, 1u);
  std::ifstream none(dir_ + "/stream.h264");
  EXPECT_FALSE(none.good());
}

TEST_F(RecorderTest, SignalLossIsCounted) {
  StreamRecorder recorder(dir_, true, 0);
  recorder.OnSignalLost();
  recorder.OnSignalLost();
  EXPECT_EQ(recorder.Stats().signalLost, 2u);
}

TEST(FrameAllocatorTest, RefusesSizesThatWouldExhaustMemory) {
  HostFrameAllocator allocator;
  EXPECT_EQ(allocator.CreateFrame(FourCC("H264"), 0, "Orvalen"), nullptr);
  EXPECT_EQ(allocator.CreateFrame(FourCC("H264"), HostFrameAllocator::kMaxFrameBytes + 1, "Orvalen"), nullptr);
  EXPECT_EQ(allocator.Refused(), 2u);
  telvora::IVideoFrame* frame = allocator.CreateFrame(FourCC("H264"), 1000, "Orvalen");
  ASSERT_NE(frame, nullptr);
  EXPECT_NE(frame->GetData(), nullptr);
  EXPECT_EQ(allocator.Outstanding(), 1);
  allocator.ReleaseFrame(frame);
  allocator.ReleaseFrame(nullptr);
  EXPECT_EQ(allocator.Outstanding(), 0);
}

TEST(FourCCTest, PacksTheFirstCharacterLowest) {
  EXPECT_EQ(FourCC("H264"), 0x34363248u);
  EXPECT_EQ(FourCCText(FourCC("DIVI")), "DIVI");
  EXPECT_EQ(FourCCText(0x00000001u), "0x00000001");
}

}  // namespace
}  // namespace capture
