// Streams from real encoders, cut by the test kit's RTP sender and rebuilt
// by the depacketizers; FFmpeg then has the last word on every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/media_format.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "media_test_kit.h"
#include "platform/sockets.h"
#include "rtp/rtp_receiver.h"
#include "support/wait_until.h"

namespace telvora {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;

// Media are made once per run, in one folder.
class Media {
 public:
  static Media& Get() {
    static Media media;
    return media;
  }
  // Encodes with ffmpeg unless already done; returns the file's bytes.
  const Bytes& Make(const std::string& name, const std::string& arguments) {
    auto it = m_files.find(name);
    if (it != m_files.end()) return it->second;
    const std::string path = m_dir.File(name);
    const std::string command = "ffmpeg -nostdin -v error -y " + arguments + " '" + path + "'";
    std::string output;
    EXPECT_EQ(RunCommand(command, &output), 0) << command << "\n" << output;
    Bytes data;
    ReadFile(path, &data);
    return m_files[name] = data;
  }
  std::string Path(const std::string& name) const { return m_dir.File(name); }

 private:
  TempDir m_dir;
  std::map<std::string, Bytes> m_files;
};

std::string Source(int width, int height, int frames) {
  return "-f lavfi -i testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
         ":rate=25 -frames:v " + std::to_string(frames);
}

Bytes Concat(const std::vector<DeliveredFrame>& frames) {
  Bytes out;
  for (const DeliveredFrame& f : frames) out.insert(out.end(), f.bytes.begin(), f.bytes.end());
  return out;
}

// Frames written one after another, as a host records them. The delimiter
// that ends each H.264 frame opens the next access unit of such a file; the
// last one opens none, so it is left out.
Bytes H264File(const std::vector<DeliveredFrame>& frames) {
  Bytes out = Concat(frames);
  if (out.size() >= 5) out.resize(out.size() - 5);
  return out;
}

void WithStartCode(Bytes& out, const Bytes& nal) {
  out.insert(out.end(), {0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
}

// What the depacketizer must make of each access unit: SEI, AUD, SPS and
// PPS dropped, SPS and PPS put back before the first IDR slice, the
// delimiter at the end.
std::vector<Bytes> ExpectedH264Frames(const std::vector<H264AccessUnit>& units, Bytes sps, Bytes pps) {
  std::vector<Bytes> frames;
  for (const H264AccessUnit& unit : units) {
    Bytes f;
    for (const Bytes& nal : unit.nalUnits) {
      const uint8_t type = nal[0] & 0x1F;
      if (type == 7) {
        sps = nal;
      } else if (type == 8) {
        pps = nal;
      } else if (type != 6 && type != 9) {
        if (type == 5 && f.empty() && !sps.empty() && !pps.empty()) {
          WithStartCode(f, sps);
          WithStartCode(f, pps);
        }
        WithStartCode(f, nal);
      }
    }
    f.insert(f.end(), {0, 0, 1, 0x09, 0x30});
    frames.push_back(f);
  }
  return frames;
}

struct H264Case {
  const char* name;
  const char* profile;
  int width, height, frames;
  H264Options options;
  bool parameterSetsFromSdp;
  const char* encoderOptions;
};

// The first packet of a next picture: lets out a last frame whose end only
// the next packet can tell.
void FeedNextPicture(CRTPMediaParser* parser, const RtpSender& sender, const Bytes& payload) {
  RtpPacketFields f;
  f.sequence = sender.NextSequence();
  f.timestamp = 0x7FFF0000;
  FeedOne(parser, BuildRtpPacket(f, payload));
}

class H264RoundTrip : public ::testing::TestWithParam<H264Case> {};

TEST_P(H264RoundTrip, EveryAccessUnitComesBackAndDecodes) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  const H264Case& c = GetParam();
  const std::string name = std::string(c.profile) + std::to_string(c.width) + c.encoderOptions + ".h264";
  const Bytes& stream = Media::Get().Make(
      name, Source(c.width, c.height, c.frames) + " -c:v libx264 -preset ultrafast -profile:v " + c.profile +
                " -bf 0 -g 4 -pix_fmt yuv420p " + c.encoderOptions + " -f h264");
  const std::vector<H264AccessUnit> units = SplitH264AccessUnits(stream);
  ASSERT_EQ(int(units.size()), c.frames);

  ParserRig rig;
  CH264RTPMediaParser parser(&rig.driver);
  rig.Attach(&parser);
  Bytes sps, pps;
  if (c.parameterSetsFromSdp) {
    for (const Bytes& nal : units[0].nalUnits) {
      if ((nal[0] & 0x1F) == 7) sps = nal;
      if ((nal[0] & 0x1F) == 8) pps = nal;
    }
    parser.SetStreamParameters({sps, pps, {}});
    ASSERT_EQ(parser.GetWidth(), uint32_t(c.width));
  }
  RtpSender sender;
  const std::vector<RtpDatagram> packets = sender.PacketizeH264(units, c.options);
  Feed(&parser, packets);
  FeedNextPicture(&parser, sender, {0x09, 0x10});

  const std::vector<Bytes> expected = ExpectedH264Frames(units, sps, pps);
  const auto& frames = rig.collector.frames;
  ASSERT_EQ(frames.size(), units.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].bytes, expected[i]) << "frame " << i;
    EXPECT_EQ(frames[i].format, units[i].idr ? kFormatH264 : kFormatI264) << "frame " << i;
    EXPECT_EQ(frames[i].width, uint32_t(c.width));
    EXPECT_EQ(frames[i].height, uint32_t(c.height));
  }
  EXPECT_EQ(rig.allocator.Created(), rig.allocator.Released());

  const std::string out = Media::Get().Path(std::string("out-") + name);
  ASSERT_TRUE(WriteFile(out, H264File(frames)));
  EXPECT_EQ(DecodeErrors(out, "h264"), "");
  int w = 0, h = 0;
  EXPECT_EQ(ProbeFrames(out, "h264", &w, &h), c.frames);
  EXPECT_EQ(w, c.width);
  EXPECT_EQ(h, c.height);
}

H264Options Options(bool aggregate, bool fragmentAll, bool dropParameterSets = false,
                    MarkerMode markers = MarkerMode::kLastPacket) {
  H264Options o;
  o.markers = markers;
  o.aggregate = aggregate;
  o.fragmentAll = fragmentAll;
  o.dropParameterSets = dropParameterSets;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, H264RoundTrip,
    ::testing::Values(H264Case{"baseline_vga_stap", "baseline", 640, 480, 10, Options(true, false), false, ""},
                      H264Case{"main_vga_single_nal", "main", 640, 480, 10, Options(false, false), false, ""},
                      H264Case{"main_vga_sdp_sets", "main", 640, 480, 10, Options(true, true, true), true, ""},
                      H264Case{"baseline_hd_fua", "baseline", 1920, 1080, 6, Options(true, true), false, ""},
                      H264Case{"main_hd", "main", 1920, 1080, 6, Options(true, false), false, ""},
                      H264Case{"slices_marker_per_slice", "main", 640, 480, 10,
                               Options(false, true, false, MarkerMode::kEverySlice), false, "-x264-params slices=4"},
                      H264Case{"slices_marker_never", "main", 640, 480, 10,
                               Options(true, false, false, MarkerMode::kNever), false, "-x264-params slices=4"}),
    [](const ::testing::TestParamInfo<H264Case>& info) { return std::string(info.param.name); });

// The receive path of a UDP stream: the receive queue on a loopback port
// feeding a depacketizer, as a channel does.
class UdpRecording : public IRTPReceiverUser {
 public:
  explicit UdpRecording(CRTPMediaParser* parser) : m_parser(parser), m_receiver(&m_log) {
    m_receiver.SetUser(this);
  }
  ~UdpRecording() override { m_receiver.Close(); }
  void PacketReceived(const sockaddr*, CRTPPacket& packet) override {
    m_parser->ProcessPacket(packet);
    ++m_processed;
  }
  void ReceiverTimeout() override {}
  void ReceiverClosed() override {}

  // Sends the datagrams and waits until each has been processed or
  // discarded (duplicates, late ones).
  bool Record(const std::vector<RtpDatagram>& datagrams) {
    if (!m_receiver.Open(false, 0)) return false;
    if (!RtpSender::SendUdp(datagrams, m_receiver.GetPort(), 100)) return false;
    WaitUntil([&] { return m_processed.load() + m_receiver.GetDiscardedPackets() >= datagrams.size(); },
              std::chrono::seconds(30));
    m_receiver.Close();
    return m_processed.load() + m_receiver.GetDiscardedPackets() == datagrams.size();
  }

 private:
  CRTPMediaParser* m_parser;
  FakeDriver m_log;
  CRTPReceiver m_receiver;
  std::atomic<size_t> m_processed{0};
};

// Adjacent packets swapped with the given chance, others lost with the
// given chance; the same seed gives the same network.
std::vector<RtpDatagram> Disturb(std::vector<RtpDatagram> packets, double swap, double loss, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::vector<RtpDatagram> out;
  for (RtpDatagram& d : packets) {
    if (chance(random) >= loss) out.push_back(std::move(d));
  }
  for (size_t i = 0; i + 1 < out.size(); ++i) {
    if (chance(random) < swap) {
      std::swap(out[i], out[i + 1]);
      ++i;
    }
  }
  return out;
}

// A camera that sends 10 kB RTP packets over UDP: every frame reaches the
// host whole.
TEST(UdpRoundTrip, LargePacketsReachTheHost) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  const Bytes& stream = Media::Get().Make(
      "udp-large.h264", Source(1280, 720, 10) + " -c:v libx264 -preset ultrafast -profile:v main -bf 0 -g 5 -f h264");
  const std::vector<H264AccessUnit> units = SplitH264AccessUnits(stream);
  RtpStreamSettings settings;
  settings.maxPayload = 10000;
  RtpSender sender(settings);
  std::vector<RtpDatagram> packets = sender.PacketizeH264(units);
  size_t largest = 0;
  for (const RtpDatagram& d : packets) largest = std::max(largest, d.bytes.size());
  ASSERT_GT(largest, 9000u);

  ParserRig rig;
  CH264RTPMediaParser parser(&rig.driver);
  rig.Attach(&parser);
  UdpRecording recording(&parser);
  ASSERT_TRUE(recording.Record(packets));
  ASSERT_EQ(rig.collector.frames.size(), units.size());
  const std::vector<Bytes> expected = ExpectedH264Frames(units, {}, {});
  for (size_t i = 0; i < units.size(); ++i) EXPECT_EQ(rig.collector.frames[i].bytes, expected[i]) << i;
  const std::string out = Media::Get().Path("out-udp-large.h264");
  ASSERT_TRUE(WriteFile(out, H264File(rig.collector.frames)));
  EXPECT_EQ(DecodeErrors(out, "h264"), "");
}

// Reordering and loss on the way: the receive queue puts overtaken packets
// back, and whatever cannot be rebuilt is withheld, never handed over
// damaged. The share of frames delivered with and without the queue's
// window is printed for comparison.
TEST(UdpRoundTrip, ReorderedAndLostPackets) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  const Bytes& stream = Media::Get().Make(
      "udp-disturbed.h264", Source(640, 480, 100) + " -c:v libx264 -preset ultrafast -profile:v main -bf 0 -g 10 -f h264");
  const std::vector<H264AccessUnit> units = SplitH264AccessUnits(stream);
  ASSERT_EQ(units.size(), 100u);
  RtpStreamSettings settings;
  settings.maxPayload = 1000;
  struct Case {
    const char* name;
    double swap, loss;
  } const kCases[] = {{"2% reordered", 0.02, 0.0}, {"5% lost and 2% reordered", 0.02, 0.05}};
  for (const Case& c : kCases) {
    RtpSender sender(settings);
    const std::vector<RtpDatagram> packets = Disturb(sender.PacketizeH264(units), c.swap, c.loss, 18);

    ParserRig direct;  // the packets as they arrive, with no window
    CH264RTPMediaParser withoutWindow(&direct.driver);
    direct.Attach(&withoutWindow);
    Feed(&withoutWindow, packets);

    ParserRig rig;
    CH264RTPMediaParser parser(&rig.driver);
    rig.Attach(&parser);
    UdpRecording recording(&parser);
    ASSERT_TRUE(recording.Record(packets)) << c.name;
    std::cout << "[ " << c.name << " ] frames delivered: " << direct.collector.frames.size() << " of " << units.size()
              << " without the reorder window, " << rig.collector.frames.size() << " with it" << std::endl;
    if (c.loss == 0) {
      EXPECT_EQ(rig.collector.frames.size(), units.size()) << c.name;
    }
    EXPECT_GE(rig.collector.frames.size(), direct.collector.frames.size()) << c.name;
    const std::string out = Media::Get().Path(std::string("out-disturbed-") + (c.loss == 0 ? "0" : "1") + ".h264");
    ASSERT_TRUE(WriteFile(out, H264File(rig.collector.frames)));
    EXPECT_EQ(DecodeErrors(out, "h264"), "") << c.name;
  }
}

// ---- JPEG ----

// ffmpeg quantizes with the standard tables scaled for Q 76 when given
// them as matrices (natural order) at qscale 8; its DC entry is fixed at
// 8, which is what Q 76 makes of 16 and 17.
std::string StandardMatrices(int q) {
  static const int kZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
  const Bytes tables = ScaledStandardTables(q);
  std::string luma, chroma;
  int natural[2][64];
  for (int t = 0; t < 2; ++t)
    for (int k = 0; k < 64; ++k) natural[t][kZigZag[k]] = tables[size_t(t * 64 + k)];
  for (int i = 0; i < 64; ++i) {
    luma += (i ? "," : "") + std::to_string(natural[0][i]);
    chroma += (i ? "," : "") + std::to_string(natural[1][i]);
  }
  return " -q:v 8 -qmin 8 -qmax 8 -intra_matrix " + luma + " -chroma_intra_matrix " + chroma;
}

// ffmpeg writes 4:2:2 as 2x2 luma over 1x2 chroma, which RFC 2435 type 0
// cannot carry, so the encoder cases are all 4:2:0 (type 1).
struct JpegCase {
  const char* name;
  const char* pixelFormat;
  bool standardTables;
  bool restart;  // slice threads make ffmpeg write DRI and RST markers
  bool inBand;
  uint8_t expectedQ;
  int width = 320, height = 240;  // above 2040 the session description tells
  bool extension = false;          // the image's own segments in a header extension
  bool sixteenBitTables = false;
};

class JpegRoundTrip : public ::testing::TestWithParam<JpegCase> {};

TEST_P(JpegRoundTrip, ImagesComeBackAsJfifAndDecodeToTheSamePicture) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  const JpegCase& c = GetParam();
  const int kFrames = 3;
  ParserRig rig;
  CJpegRTPMediaParser parser(&rig.driver);
  rig.Attach(&parser);
  if (c.width > 2040 || c.height > 2040) {
    MEDIA_STREAM_PARAMETERS announced;
    announced.width = uint32_t(c.width);
    announced.height = uint32_t(c.height);
    parser.SetStreamParameters(announced);
  }
  RtpSender sender;
  for (int i = 0; i < kFrames; ++i) {
    const std::string name = std::string(c.name) + std::to_string(i) + ".jpg";
    std::string arguments = "-f lavfi -i testsrc2=size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
                            ":rate=25 -vf 'select=eq(n\\," + std::to_string(i * 7) +
                            ")' -frames:v 1 -c:v mjpeg -huffman default -pix_fmt " + c.pixelFormat;
    if (c.standardTables) arguments += StandardMatrices(76);
    if (c.restart) arguments += " -threads 4 -thread_type slice";
    const Bytes& jpeg = Media::Get().Make(name, arguments);
    JpegImage image;
    std::string why;
    ASSERT_TRUE(ParseJpegImage(jpeg, &image, &why)) << why;
    EXPECT_EQ(image.restartInterval != 0, c.restart);
    JpegOptions options;
    options.inBandTables = c.inBand;
    options.extension = c.extension;
    options.sixteenBitTables = c.sixteenBitTables;
    if (!c.inBand) {
      ASSERT_EQ(FindStandardQ(image), int(c.expectedQ));
    }
    std::vector<RtpDatagram> packets;
    ASSERT_TRUE(sender.PacketizeJpeg(image, options, &packets, size_t(i)));
    ASSERT_GT(packets.size(), 1u);
    if (!c.extension) {
      ASSERT_EQ(packets[0].bytes[12 + 5], c.expectedQ);  // Q, behind the fixed header
    }
    Feed(&parser, packets);
    ASSERT_EQ(rig.collector.frames.size(), size_t(i + 1));

    const DeliveredFrame& f = rig.collector.frames.back();
    EXPECT_EQ(f.width, uint32_t(c.width));
    EXPECT_EQ(f.height, uint32_t(c.height));
    EXPECT_EQ(f.createFormat, kFormatJpeg);
    const Bytes jfif = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
    ASSERT_GT(f.bytes.size(), jfif.size());
    if (c.extension) {
      // The image as the camera had it, with fill bytes after SOI.
      Bytes expected = {0xFF, 0xD8};
      while ((expected.size() + image.segments.size()) % 4 != 2) expected.push_back(0xFF);
      expected.insert(expected.end(), image.segments.begin(), image.segments.end());
      expected.insert(expected.end(), image.scan.begin(), image.scan.end());
      expected.insert(expected.end(), {0xFF, 0xD9});
      EXPECT_EQ(f.bytes, expected);
    } else {
      EXPECT_TRUE(std::equal(jfif.begin(), jfif.end(), f.bytes.begin()));
    }
    EXPECT_EQ(f.bytes[f.bytes.size() - 2], 0xFF);
    EXPECT_EQ(f.bytes.back(), 0xD9);

    const std::string out = Media::Get().Path(std::string("out-") + name);
    ASSERT_TRUE(WriteFile(out, f.bytes));
    EXPECT_EQ(DecodeErrors(out), "");
    int w = 0, h = 0;
    EXPECT_EQ(ProbeFrames(out, "", &w, &h), 1);
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    // Same scan, same tables: the same picture, pixel for pixel.
    std::string md5Source, md5Rebuilt;
    RunCommand("ffmpeg -nostdin -v error -i '" + Media::Get().Path(name) + "' -f md5 -", &md5Source);
    RunCommand("ffmpeg -nostdin -v error -i '" + out + "' -f md5 -", &md5Rebuilt);
    EXPECT_EQ(md5Rebuilt, md5Source);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, JpegRoundTrip,
    ::testing::Values(JpegCase{"q76_420", "yuvj420p", true, false, false, 76},
                      JpegCase{"q76_restart", "yuvj420p", true, true, false, 76},
                      JpegCase{"inband_420", "yuvj420p", false, false, true, 255},
                      JpegCase{"inband_420_restart", "yuvj420p", false, true, true, 255},
                      JpegCase{"inband_two_tables_restart", "yuvj420p", true, true, true, 255},
                      JpegCase{"uhd_announced", "yuvj420p", true, false, false, 76, 3840, 2160},
                      JpegCase{"extension_inband", "yuvj420p", false, true, true, 255, 320, 240, true},
                      JpegCase{"inband_16bit", "yuvj420p", false, false, true, 255, 320, 240, false, true}),
    [](const ::testing::TestParamInfo<JpegCase>& info) { return std::string(info.param.name); });

// ---- MPEG-4 ----

struct Mpeg4Case {
  const char* name;
  int width, height;
  bool configInOwnPacket;
  size_t maxPayload;
  bool earlyMarker = false;  // marker on the configuration-bearing first packet
  bool volOnly = false;      // no VOS or VO header: the VOL leads
};

// Drops the VOS and VO headers ahead of the VOL, as some cameras send.
Bytes WithoutVosAndVo(const Bytes& frame) {
  for (size_t i = 0; i + 3 < frame.size(); ++i) {
    if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && frame[i + 3] >= 0x20 && frame[i + 3] <= 0x2F)
      return Bytes(frame.begin() + std::ptrdiff_t(i), frame.end());
    if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && frame[i + 3] == 0xB6) break;
  }
  return frame;
}

class Mpeg4RoundTrip : public ::testing::TestWithParam<Mpeg4Case> {};

TEST_P(Mpeg4RoundTrip, FramesComeBackWithKeyFramesOnIVops) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  const Mpeg4Case& c = GetParam();
  const int kFrames = 10;
  const std::string name = std::string(c.name) + ".m4v";
  const Bytes& stream = Media::Get().Make(name, Source(c.width, c.height, kFrames) +
                                                    " -c:v mpeg4 -g 4 -bf 0 -flags +bitexact -f m4v");
  std::vector<Mpeg4Frame> source = SplitMpeg4Frames(stream);
  ASSERT_EQ(int(source.size()), kFrames);
  ASSERT_TRUE(source[0].key);
  if (c.volOnly) {
    for (Mpeg4Frame& f : source) f.bytes = WithoutVosAndVo(f.bytes);
    ASSERT_EQ(source[0].bytes[3], 0x20);
  }

  ParserRig rig;
  CMpeg4RTPMediaParser parser(&rig.driver);  // Kovadel from the build
  ASSERT_TRUE(parser.HasHeaderParser());
  rig.Attach(&parser);
  RtpStreamSettings settings;
  settings.maxPayload = c.maxPayload;
  RtpSender sender(settings);
  Mpeg4Options options;
  options.configInOwnPacket = c.configInOwnPacket;
  options.earlyMarkerOnFirstKey = c.earlyMarker;
  Feed(&parser, sender.PacketizeMpeg4(source, options));
  FeedNextPicture(&parser, sender, {0, 0, 1, 0xB3, 0x00, 0x10});

  const auto& frames = rig.collector.frames;
  ASSERT_EQ(frames.size(), source.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].bytes, source[i].bytes) << "frame " << i;
    EXPECT_EQ(frames[i].format, source[i].key ? kFormatDivx : kFormatDivi) << "frame " << i;
    EXPECT_EQ(frames[i].width, uint32_t(c.width));
    EXPECT_EQ(frames[i].height, uint32_t(c.height));
  }
  const std::string out = Media::Get().Path("out-" + name);
  ASSERT_TRUE(WriteFile(out, Concat(frames)));
  EXPECT_EQ(DecodeErrors(out, "m4v"), "");
  int w = 0, h = 0;
  EXPECT_EQ(ProbeFrames(out, "m4v", &w, &h), kFrames);
  EXPECT_EQ(w, c.width);
}

INSTANTIATE_TEST_SUITE_P(Encoders, Mpeg4RoundTrip,
                         ::testing::Values(Mpeg4Case{"cif", 352, 288, false, 1400},
                                           Mpeg4Case{"vga_config_apart", 640, 480, true, 1400},
                                           Mpeg4Case{"hd_small_packets", 1280, 720, false, 500},
                                           Mpeg4Case{"early_marker_on_config", 640, 480, false, 1400, true},
                                           Mpeg4Case{"vol_led", 352, 288, false, 1400, false, true}),
                         [](const ::testing::TestParamInfo<Mpeg4Case>& info) { return std::string(info.param.name); });

// Drops one packet from the middle of the second key frame: nothing from
// it up to the next key frame may reach the host, and what does decodes.
TEST(KeyFrameLoss, TheFrameAndItsFollowersAreWithheld) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  struct Stream {
    std::vector<RtpDatagram> packets;
    std::vector<Bytes> frames;  // as the host gets them without loss
    std::vector<size_t> keys;
  };
  struct Case {
    const char* format;  // FFmpeg's name, also the file's extension
    std::function<Stream()> make;
    std::function<CRTPMediaParser*(IDriver*)> parser;
    std::function<Bytes(const std::vector<DeliveredFrame>&)> file;
  } const kCases[] = {
      {"h264",
       [] {
         const std::vector<H264AccessUnit> units = SplitH264AccessUnits(Media::Get().Make(
             "loss.h264", Source(640, 480, 12) + " -c:v libx264 -preset ultrafast -profile:v main -bf 0 -g 4 -f h264"));
         Stream s{RtpSender().PacketizeH264(units, H264Options()), ExpectedH264Frames(units, {}, {}), {}};
         for (size_t i = 0; i < units.size(); ++i)
           if (units[i].idr) s.keys.push_back(i);
         return s;
       },
       [](IDriver* d) -> CRTPMediaParser* { return new CH264RTPMediaParser(d); }, H264File},
      {"m4v",
       [] {
         const std::vector<Mpeg4Frame> source = SplitMpeg4Frames(
             Media::Get().Make("loss.m4v", Source(640, 480, 12) + " -c:v mpeg4 -g 4 -bf 0 -flags +bitexact -f m4v"));
         RtpStreamSettings settings;
         settings.maxPayload = 1000;
         Stream s{RtpSender(settings).PacketizeMpeg4(source), {}, {}};
         for (size_t i = 0; i < source.size(); ++i) {
           s.frames.push_back(source[i].bytes);
           if (source[i].key) s.keys.push_back(i);
         }
         return s;
       },
       [](IDriver* d) -> CRTPMediaParser* { return new CMpeg4RTPMediaParser(d); }, Concat},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.format);
    Stream stream = c.make();
    ASSERT_EQ(stream.frames.size(), 12u);
    ASSERT_GE(stream.keys.size(), 3u);
    std::vector<size_t> ofKey;
    for (size_t i = 0; i < stream.packets.size(); ++i)
      if (stream.packets[i].frameIndex == stream.keys[1]) ofKey.push_back(i);
    ASSERT_GE(ofKey.size(), 3u);
    stream.packets.erase(stream.packets.begin() + std::ptrdiff_t(ofKey[ofKey.size() / 2]));

    ParserRig rig;
    std::unique_ptr<CRTPMediaParser> parser(c.parser(&rig.driver));
    rig.Attach(parser.get());
    Feed(parser.get(), stream.packets);
    std::vector<Bytes> wanted, got;
    for (size_t i = 0; i < stream.frames.size(); ++i)
      if (i < stream.keys[1] || i >= stream.keys[2]) wanted.push_back(stream.frames[i]);
    for (const DeliveredFrame& f : rig.collector.frames) got.push_back(f.bytes);
    EXPECT_EQ(got, wanted);
    const std::string out = Media::Get().Path(std::string("out-loss.") + c.format);
    ASSERT_TRUE(WriteFile(out, c.file(rig.collector.frames)));
    EXPECT_EQ(DecodeErrors(out, c.format), "");
  }
}

}  // namespace
}  // namespace test
}  // namespace telvora
