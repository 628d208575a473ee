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

struct SdpCase {
  const char* name;
  std::string text;
  bool ok;
};

// Whether a description is accepted at all.
TEST(Sdp, AcceptanceTable) {
  const SdpCase kCases[] = {
      {"empty body", "", true},
      {"session control *", Sdp({"a=control:*", "m=video 0 RTP/AVP 96"}), true},
      {"session fmtp", Sdp({"a=fmtp:96 x=1", "m=video 0 RTP/AVP 96"}), false},
      {"fmtp in text section", Sdp({"m=text 0 RTP/AVP 98", "a=fmtp:98 x=1"}), false},
      {"fmtp in audio section", Sdp({"m=audio 0 RTP/AVP 97", "a=fmtp:97 x=1"}), true},
      {"m= without word", Sdp({"m= video 0"}), false},
      {"m= empty", Sdp({"m="}), false},
      {"lower-case in", Sdp({"m=video 0 RTP/AVP 96", "c=in IP4 1.2.3.4"}), false},
      {"c= two words", Sdp({"c=IN IP4"}), false},
      {"c= IP6", Sdp({"m=video 0 RTP/AVP 96", "c=IN IP6 ::1"}), true},
      {"c= other type", Sdp({"c=IN IPX 1.2.3.4"}), false},
      {"c= empty IP4 address", Sdp({"c=IN IP4 /127"}), false},
      {"empty control", Sdp({"m=video 0 RTP/AVP 96", "a=control:"}), false},
      {"control without colon", Sdp({"a=control"}), false},
      {"empty video rtpmap", Sdp({"m=video 0 RTP/AVP 96", "a=rtpmap:"}), false},
      {"empty audio rtpmap", Sdp({"m=audio 0 RTP/AVP 0", "a=rtpmap:"}), true},
      {"one-word rtpmap", Sdp({"m=audio 0 RTP/AVP 0", "a=rtpmap:0"}), false},
      {"single parameter set", Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQ"}), true},
      {"undecodable parameter set", Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQ,="}), false},
      {"oversized parameter set",
       Sdp({"m=video 0 RTP/AVP 96", ("a=fmtp:96 sprop-parameter-sets=" + std::string(344, 'A') + ",aM48gA==").c_str()}),
       false},
      {"config of '=' only", Sdp({"m=video 0 RTP/AVP 96", "a=fmtp:96 config=="}), false},
      {"lines ended by LF only", "v=0\nm=video 0 RTP/AVP 96\na=control:x\n", true},
  };
  for (const SdpCase& c : kCases) {
    CSDPResponseParser parser;
    EXPECT_EQ(parser.ParseSdp(c.text), c.ok) << c.name;
  }
}

TEST(Sdp, ConnectionAndRtpmapDetails) {
  CSDPResponseParser parser;
  ASSERT_TRUE(parser.ParseSdp(Sdp({"c=IN IP4 10.0.0.1", "m=video 5004/2 RTP/AVP 96", "c=IN IP4 224.2.1.1/127",
                                    "a=rtpmap: 96 H264/90000"})));
  EXPECT_EQ(parser.GetInfo().video.connectionAddress, "224.2.1.1");
  EXPECT_EQ(parser.GetInfo().video.port, 5004);
  // A blank after the colon shifts the words.
  EXPECT_EQ(parser.GetInfo().video.rtpmap, "96");
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
