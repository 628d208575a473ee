#include "rtsp/sdp_parser.h"

#include <gtest/gtest.h>

namespace telvora {
namespace {

// Joins lines with CR LF, as servers send them.
std::string Sdp(std::initializer_list<const char*> lines) {
  std::string text;
  for (const char* line : lines) text += std::string(line) + "\r\n";
  return text;
}

TEST(Sdp, H264SectionFillsEveryVideoField) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"v=0", "m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000", "a=control:trackID=1",
                                    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA=="})));
  const SDP_INFO& info = parser.GetInfo();
  EXPECT_EQ(info.video.port, 0);
  EXPECT_EQ(info.video.protocol, "RTP/AVP");
  EXPECT_EQ(info.video.rtpmap, "H264/90000");
  EXPECT_EQ(info.video.control, "trackID=1");
  ASSERT_EQ(info.parameterSet1.size(), 18u);
  EXPECT_EQ(info.parameterSet1[0], 0x67);
  ASSERT_EQ(info.parameterSet2.size(), 4u);
  EXPECT_EQ(info.parameterSet2[0], 0x68);
}

// A good H.264 section after a line that does not read: the line is
// skipped, never the description.
TEST(Sdp, LinesThatDoNotReadAreSkipped) {
  const char* kOddLines[] = {
      "a=fmtp:96 x=1",                  // before any section
      "m= video 0",                     // m= without a media word
      "m=",
      "c=in IP4 1.2.3.4",               // lower-case network type
      "c=IN IP4",
      "c=IN IPX 1.2.3.4",
      "c=IN IP4 /127",
      "a=control:",
      "a=control",
      "a=rtpmap:",
      "a=rtpmap:0",
      "m=text 0 RTP/AVP 98\r\na=fmtp:98 x=1",
      "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQ,=",
      "a=x-vendor-thing:\x01\x02 binary",
  };
  for (const char* odd : kOddLines) {
    const std::string line = odd;
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseSdp(Sdp({"v=0", line.c_str(), "m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000",
                                      "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==",
                                      "a=control:trackID=1"})))
        << odd;
    const SDP_INFO& info = parser.GetInfo();
    EXPECT_EQ(info.video.rtpmap, "H264/90000") << odd;
    EXPECT_EQ(info.video.control, "trackID=1") << odd;
    EXPECT_EQ(info.parameterSet1.size(), 18u) << odd;
    EXPECT_EQ(info.parameterSet2.size(), 4u) << odd;
  }
  // Odd lines inside the video section cost only themselves.
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000", "a=control:",
                                    "c=IN IP4 /127", "a=fmtp:96 config==", "a=control:track9"})));
  EXPECT_EQ(parser.GetInfo().video.control, "track9");
  EXPECT_TRUE(parser.GetInfo().config.empty());
  EXPECT_TRUE(parser.ParseSdp(""));
}

// Which section becomes the video record, and that no field of another
// section leaks into it.
TEST(Sdp, VideoSectionChoice) {
  const struct {
    const char* name;
    std::string text;
    const char* rtpmap;
    const char* control;
    size_t set1;  // bytes of the first parameter set
  } kCases[] = {
      {"unsupported video first", Sdp({"m=video 0 RTP/AVP 98", "a=rtpmap:98 H265/90000", "a=control:hevc",
                                       "a=fmtp:98 sprop-parameter-sets=aM48gA==,aM48gA==",
                                       "m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000", "a=control:avc"}),
       "H264/90000", "avc", 0},
      {"two supported, first wins", Sdp({"m=video 0 RTP/AVP 26", "a=rtpmap:26 JPEG/90000", "a=control:mjpeg",
                                         "m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000", "a=control:avc"}),
       "JPEG/90000", "mjpeg", 0},
      {"audio, data and video mixed", Sdp({"m=audio 0 RTP/AVP 0", "a=rtpmap:0 PCMU/8000", "a=control:a",
                                           "m=application 0 RTP/AVP 107", "a=control:m",
                                           "m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000",
                                           "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==",
                                           "m=audio 0 RTP/AVP 8", "a=control:b",
                                           "m=video 0 RTP/AVP 97", "a=rtpmap:97 MP4V-ES/90000", "a=control:v2"}),
       "H264/90000", "", 18},
      {"several payload types in one section", Sdp({"m=video 0 RTP/AVP 98 96", "a=rtpmap:98 H265/90000",
                                                    "a=rtpmap:96 H264/90000", "a=control:v"}),
       "H264/90000", "v", 0},
      {"nothing supported: the first video", Sdp({"m=video 0 RTP/AVP 98", "a=rtpmap:98 H265/90000", "a=control:one",
                                                  "m=video 0 RTP/AVP 99", "a=rtpmap:99 VP8/90000", "a=control:two"}),
       "H265/90000", "one", 0},
  };
  for (const auto& c : kCases) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseSdp(c.text)) << c.name;
    EXPECT_EQ(parser.GetInfo().video.rtpmap, c.rtpmap) << c.name;
    EXPECT_EQ(parser.GetInfo().video.control, c.control) << c.name;
    EXPECT_EQ(parser.GetInfo().parameterSet1.size(), c.set1) << c.name;
  }
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(kCases[2].text));
  EXPECT_EQ(parser.GetInfo().audio.control, "a") << "the first audio section";
  EXPECT_EQ(parser.GetInfo().metadata.control, "m");
}

// sprop-parameter-sets as cameras write them. SPS Z0IAKeKQFAe2AtwEBAaQeJEV
// (18 bytes, 0x67...), PPS aM48gA== (4 bytes, 0x68...); with start codes
// AAAAAWdCACnikBQHtgLcBAQGkHiRFQ== and AAAAAWjOPIA=.
TEST(Sdp, ParameterSetForms) {
  const struct {
    const char* name;
    const char* sets;
    size_t sps, pps;
  } kCases[] = {
      {"SPS, PPS", "Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==", 18, 4},
      {"PPS first", "aM48gA==,Z0IAKeKQFAe2AtwEBAaQeJEV", 18, 4},
      {"Annex B start codes", "AAAAAWdCACnikBQHtgLcBAQGkHiRFQ==,AAAAAWjOPIA=", 18, 4},
      {"both in one entry", "AAAAAWdCACnikBQHtgLcBAQGkHiRFQAAAAFozjyA", 18, 4},
      {"SPS only", "Z0IAKeKQFAe2AtwEBAaQeJEV", 18, 0},
      {"PPS only", "aM48gA==", 0, 4},
      {"an entry that does not decode", "Z0IAKeKQFAe2AtwEBAaQeJEV,=", 18, 0},
  };
  for (const auto& c : kCases) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000",
                                      (std::string("a=fmtp:96 packetization-mode=1; sprop-parameter-sets=") + c.sets).c_str()})));
    const SDP_INFO& info = parser.GetInfo();
    EXPECT_EQ(info.parameterSet1.size(), c.sps) << c.name;
    EXPECT_EQ(info.parameterSet2.size(), c.pps) << c.name;
    if (c.sps > 0) {
      EXPECT_EQ(info.parameterSet1[0], 0x67) << c.name;
    }
    if (c.pps > 0) {
      EXPECT_EQ(info.parameterSet2[0], 0x68) << c.name;
    }
  }
}

// packetization-mode as cameras write it; -1 when absent or not a mode.
TEST(Sdp, PacketizationMode) {
  const struct {
    const char* fmtp;
    int mode;
  } kCases[] = {
      {"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==", 1},
      {"a=fmtp:96 profile-level-id=420029; packetization-mode=0", 0},
      {"a=fmtp:96 Packetization-Mode=2;profile-level-id=420029", 2},
      {"a=fmtp:96 profile-level-id=420029;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==", -1},
      {"a=fmtp:96 packetization-mode=3", -1},
      {"a=fmtp:96 packetization-mode=1x", -1},
      {"a=fmtp:96 packetization-mode=", -1},
      {"a=fmtp:96 x-packetization-mode=2", -1},
  };
  for (const auto& c : kCases) {
    CSDPResponseParser parser;
    ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000", c.fmtp})));
    EXPECT_EQ(parser.GetInfo().video.packetizationMode, c.mode) << c.fmtp;
  }
  // The first fmtp line that names a mode gives it, as with the sets.
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 packetization-mode=1",
                                    "a=fmtp:96 packetization-mode=2"})));
  EXPECT_EQ(parser.GetInfo().video.packetizationMode, 1);
}

TEST(Sdp, ConnectionAndRtpmapDetails) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"c=IN IP4 10.0.0.1", "m=video 5004/2 RTP/AVP 96", "c=IN IP4 224.2.1.1/127",
                                    "a=rtpmap: 96 H264/90000"})));
  EXPECT_EQ(parser.GetInfo().video.connectionAddress, "224.2.1.1");
  EXPECT_EQ(parser.GetInfo().video.port, 5004);
  // A blank after the colon does not shift the words.
  EXPECT_EQ(parser.GetInfo().video.rtpmap, "H264/90000");
}

TEST(Sdp, FirstParameterSetsStayAndConfigDecodes) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==",
                                    "a=fmtp:96 sprop-parameter-sets=aO48gA==,aO48gA=="})));
  EXPECT_EQ(parser.GetInfo().parameterSet1.size(), 18u);

  ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 profile-level-id=1;config=000001B0"})));
  EXPECT_EQ(parser.GetInfo().config, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB0}));
  ASSERT_TRUE(parser.ParseSdp(Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 config=AAABsA=="})));
  EXPECT_EQ(parser.GetInfo().config, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB0}));
  // A new parse starts empty.
  EXPECT_TRUE(parser.GetInfo().parameterSet1.empty());
}

TEST(Sdp, HexDecodeTable) {
  EXPECT_EQ(HexDecode("00ff1A"), (std::vector<uint8_t>{0x00, 0xFF, 0x1A}));
  EXPECT_EQ(HexDecode("zz"), (std::vector<uint8_t>{0x00}));
  EXPECT_EQ(HexDecode("123"), (std::vector<uint8_t>{0x12, 0x03}));
  EXPECT_TRUE(HexDecode("").empty());
}

TEST(Sdp, GStreamerServerStyle) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({
      "v=0", "o=- 1188340656180883 1 IN IP4 127.0.0.1", "s=Session streamed with GStreamer", "i=rtsp-server",
      "t=0 0", "a=tool:GStreamer", "a=type:broadcast", "a=control:*", "a=range:npt=0-", "m=video 0 RTP/AVP 96",
      "c=IN IP4 0.0.0.0", "b=AS:2097", "a=rtpmap:96 H264/90000", "a=framerate:30",
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z2QAHqzZQKAv+XARAAADAAEAAAMAPA8WLZY=,aOvjyyLA;"
      "profile-level-id=64001E;level-asymmetry-allowed=1",
      "a=control:stream=0", "a=ts-refclk:local", "a=mediaclk:sender"})));
  const SDP_INFO& info = parser.GetInfo();
  EXPECT_EQ(info.video.control, "stream=0");
  EXPECT_EQ(info.video.connectionAddress, "0.0.0.0");
  EXPECT_EQ(info.parameterSet1.size(), 26u);
  EXPECT_EQ(info.parameterSet2.size(), 6u);
}

TEST(Sdp, VlcServerStyleWithAbsoluteControls) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({
      "v=0", "o=- 15512297373138392018 15512297373138392018 IN IP4 host", "s=Unnamed", "i=N/A", "c=IN IP4 0.0.0.0",
      "t=0 0", "a=tool:vlc 3.0.18", "a=recvonly", "a=type:broadcast", "a=charset:UTF-8",
      "a=control:rtsp://127.0.0.1:8554/stream", "m=audio 0 RTP/AVP 96", "b=RR:0", "a=rtpmap:96 mpeg4-generic/48000/2",
      "a=fmtp:96 streamtype=5; profile-level-id=15; mode=AAC-hbr; config=1190; SizeLength=13;",
      "a=control:rtsp://127.0.0.1:8554/stream/trackID=0", "m=video 0 RTP/AVP 96", "b=RR:0", "a=rtpmap:96 H264/90000",
      "a=fmtp:96 packetization-mode=1;profile-level-id=64001f;sprop-parameter-sets=Z2QAHqzZQKAv+XARAAADAAEAAAMAPA8WLZY=,aOvjyyLA;",
      "a=control:rtsp://127.0.0.1:8554/stream/trackID=1"})));
  const SDP_INFO& info = parser.GetInfo();
  EXPECT_EQ(info.video.control, "rtsp://127.0.0.1:8554/stream/trackID=1");
  EXPECT_EQ(info.audio.control, "rtsp://127.0.0.1:8554/stream/trackID=0");
  EXPECT_EQ(info.audio.rtpmap, "mpeg4-generic/48000/2");
  // The audio config is not the video's.
  EXPECT_TRUE(info.config.empty());
}

TEST(Sdp, IpCameraStyleWithAudioFirstThirdParameterSetAndMetadata) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({
      "v=0", "o=- 1109162014219182 1109162014219182 IN IP4 192.168.1.64", "s=Media Presentation", "e=NONE",
      "b=AS:5050", "t=0 0", "a=control:rtsp://192.168.1.64:554/Streaming/Channels/101/?transportmode=unicast",
      "m=audio 0 RTP/AVP 0", "c=IN IP4 0.0.0.0", "a=rtpmap:0 PCMU/8000", "a=control:trackID=2",
      "m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "b=AS:5000", "a=recvonly", "a=x-dimensions:1920,1080",
      "a=control:trackID=1", "a=rtpmap:96 H264/90000",
      "a=fmtp:96 profile-level-id=420029; packetization-mode=1; sprop-parameter-sets=Z00AKpWoHgCJ+WbgICAgQA==,aO48gA==,ZIAA",
      "m=application 0 RTP/AVP 107", "c=IN IP4 0.0.0.0", "a=control:trackID=3", "a=rtpmap:107 vnd.onvif.metadata/90000"})));
  const SDP_INFO& info = parser.GetInfo();
  EXPECT_EQ(info.video.control, "trackID=1");
  EXPECT_EQ(info.audio.rtpmap, "PCMU/8000");
  EXPECT_EQ(info.metadata.control, "trackID=3");
  EXPECT_EQ(info.metadata.rtpmap, "vnd.onvif.metadata/90000");
  EXPECT_EQ(info.parameterSet1.size(), 16u);
  EXPECT_EQ(info.parameterSet2.size(), 4u);
}

TEST(Sdp, Mpeg4CameraWithHexConfig) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"v=0", "s=MPEG4", "m=video 0 RTP/AVP 96", "a=rtpmap:96 MP4V-ES/90000",
                                    "a=fmtp:96 profile-level-id=1;config=000001B001000001B58913000001000000012000C48D88",
                                    "a=control:track1"})));
  const SDP_INFO& info = parser.GetInfo();
  EXPECT_EQ(info.video.rtpmap, "MP4V-ES/90000");
  ASSERT_EQ(info.config.size(), 23u);
  EXPECT_EQ(info.config[3], 0xB0);
  EXPECT_EQ(info.config[22], 0x88);
}

}  // namespace
}  // namespace telvora
