#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "properties/base_camera_properties.h"
#include "properties/host_version_flags.h"
#include "properties/rtsp_camera_properties.h"
#include "properties/stream_capabilities.h"
#include "properties/fake_capability_host.h"
#include "properties/host_version_env.h"

namespace telvora {
namespace {

using test::FakeCapabilityResults;
using test::ScopedHostVersion;
using Calls = std::vector<std::string>;

// A description that the tests set field by field.
class TestProperties : public CBaseCameraProperties {
 public:
  explicit TestProperties(int videoStandard = 1)
      : CBaseCameraProperties(DEVICE_INFO("10.0.0.5", 8554, "admin", "secret"), videoStandard) {}
  bool FillDriverProperties(ICapabilityResults*) override { return true; }
  bool Query(int*) override { return true; }

  using CBaseCameraProperties::m_audioInput;
  using CBaseCameraProperties::m_audioOutput;
  using CBaseCameraProperties::m_channelCount;
  using CBaseCameraProperties::m_resultValues;
  using CBaseCameraProperties::m_live;
  using CBaseCameraProperties::m_main;
  using CBaseCameraProperties::m_namePrefix;
  using CBaseCameraProperties::m_remote;
  using CBaseCameraProperties::m_streamCount;
};

// The smallest description Fill accepts.
void MakeMinimal(TestProperties* p) {
  p->SetModelName("Cam");
  p->m_channelCount = 1;
  p->AddCodec(kCodecH264);
  p->m_main.frameRates.insert(30);
  p->AddResolution(640, 480, 30);
}

// Calls from `first` (an exact call text) to the end.
Calls From(const Calls& calls, const std::string& first) {
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == first) return Calls(calls.begin() + static_cast<long>(i), calls.end());
  return Calls();
}

TEST(RateCode, OnLowAndHighRateHosts) {
  struct Case {
    uint32_t rate;
    uint32_t lowHost;
    uint32_t highHost;
  } const kCases[] = {
      {0, 1000, 1000}, {1, 1000, 1000}, {5, 200, 200},          {10, 100, 100},
      {15, 67, 67},    {25, 40, 40},    {30, 33, 33},           {31, 32, 0x7000001F},
      {60, 17, 0x7000003C}, {80, 13, 0x70000050}, {3000, 0, 0x70000BB8},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.rate);
    EXPECT_EQ(c.lowHost, GetRateCode(c.rate, false));
    EXPECT_EQ(c.highHost, GetRateCode(c.rate, true));
  }
}

TEST(StreamTexts, FrameRatesAndDefaults) {
  struct Case {
    std::vector<uint32_t> rates;
    uint32_t defaultRate;
    bool highHost;
    const char* text;
  } const kCases[] = {
      {{5, 10, 30}, 0, false, "values=200,100,33;default=33"},  // threshold 15
      {{5, 10}, 0, false, "values=200,100;default=200"},        // threshold 5
      {{5, 10, 30}, 10, false, "values=200,100,33;default=100"},
      {{5, 10}, 12, false, "values=200,100;default=83"},  // no rate reaches 12: its own code
      {{30, 60}, 0, true, "values=33,1879048252;default=33"},
      {{30, 60}, 0, false, "values=33,17;default=33"},
      {{0, 25}, 0, false, "values=40;default=40"},  // rate 0 is not listed; threshold 12
      {{}, 0, false, ""},
  };
  for (const Case& c : kCases) {
    STREAM_CAPABILITIES record;
    record.frameRates.insert(c.rates.begin(), c.rates.end());
    record.defaultFrameRate = c.defaultRate;
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.text, FrameRatesText(record, c.highHost));
  }
}

TEST(StreamTexts, CodecsAndResolutions) {
  STREAM_CAPABILITIES record;
  record.codecs = {3, 9, 1, 2};
  EXPECT_EQ("h264,mpeg,jpeg", CodecsText(record));
  record.resolutions = {{1920, 1080, 25}, {0, 480, 30}, {640, 480, 0}};
  // Without rates an entry without its own rate reads 40.
  EXPECT_EQ("1920x1080:40,640x480:40", ResolutionsText(record, false));
  record.frameRates = {10, 60};
  EXPECT_EQ("1920x1080:40,640x480:17", ResolutionsText(record, false));
  EXPECT_EQ("1920x1080:40,640x480:1879048252", ResolutionsText(record, true));
  EXPECT_EQ("", CodecsText(STREAM_CAPABILITIES()));
}

TEST(HostVersionFlags, FollowTheHostCoreVersion) {
  struct Case {
    const char* version;
    bool highRate;
    bool streamText;
  } const kCases[] = {
      {nullptr, false, false}, {"5.12.0.0", false, false}, {"6.0.9.9", false, false},
      {"6.1.0.0", false, true}, {"6.3.0.0", false, true},  {"6.4.0.0", true, true},
      {"7.0", true, true},      {"garbage", false, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.version != nullptr ? c.version : "(unset)");
    ScopedHostVersion env(c.version);
    HOST_VERSION_FLAGS flags = ReadHostVersionFlags();
    EXPECT_EQ(c.highRate, flags.highRateHost);
    EXPECT_EQ(c.streamText, flags.streamTextHost);
    TestProperties p;
    EXPECT_EQ(c.highRate, p.IsHighRateHost());
    EXPECT_EQ(c.streamText, p.IsStreamTextHost());
  }
}

TEST(CameraProperties, FrameRateListOnHighAndLowRateHosts) {
  struct Case {
    const char* version;
    Calls expected;
  } const kCases[] = {
      {"6.4.0.0", {"GetFrameRateList(1)", "FrameRates.Add(33)", "FrameRates.Add(1879048252)", "FrameRates.SetDefault(33)"}},
      {"6.3.0.0", {"GetFrameRateList(1)", "FrameRates.Add(33)", "FrameRates.Add(17)", "FrameRates.SetDefault(33)"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.version);
    ScopedHostVersion env(c.version);
    TestProperties p;
    MakeMinimal(&p);
    p.m_main.frameRates.insert(60);
    FakeCapabilityResults results;
    ASSERT_TRUE(p.Fill(&results));
    Calls tail = From(results.Calls(), "GetFrameRateList(1)");
    ASSERT_GE(tail.size(), c.expected.size());
    EXPECT_EQ(c.expected, Calls(tail.begin(), tail.begin() + static_cast<long>(c.expected.size())));
  }
}

TEST(CameraProperties, DefaultFrameRateAmongSeveral) {
  TestProperties p;
  MakeMinimal(&p);
  p.m_main.frameRates = {5, 10};
  FakeCapabilityResults results;
  ASSERT_TRUE(p.Fill(&results));
  Calls tail = From(results.Calls(), "GetFrameRateList(1)");
  ASSERT_GE(tail.size(), 4u);
  EXPECT_EQ((Calls{"GetFrameRateList(1)", "FrameRates.Add(200)", "FrameRates.Add(100)", "FrameRates.SetDefault(200)"}),
            Calls(tail.begin(), tail.begin() + 4));
}

TEST(CameraProperties, AddResolutionKeepsOneEntryPerSize) {
  TestProperties p;
  p.AddResolution(640, 480, 30);
  p.AddResolution(640, 480, 25);
  p.AddResolution(640, 480, 0);
  p.AddResolution(0, 480, 30);
  p.AddResolution(320, 0, 30);
  p.AddResolution(320, 240, 0);
  p.AddResolution(320, 240, 15);
  ASSERT_EQ(2u, p.m_main.resolutions.size());
  EXPECT_EQ(30u, p.m_main.resolutions[0].frameRate);
  EXPECT_EQ(320u, p.m_main.resolutions[1].width);
  EXPECT_EQ(15u, p.m_main.resolutions[1].frameRate);
}

TEST(CameraProperties, ResolutionCodesFallBackToTheDefault) {
  struct Case {
    int videoStandard;
    std::vector<uint32_t> rates;
    const char* expected;
  } const kCases[] = {
      {1, {25}, "Resolutions.Add(640x480,640,480,40)"},  // largest rate wins over the standard
      {1, {}, "Resolutions.Add(640x480,640,480,33)"},
      {0, {}, "Resolutions.Add(640x480,640,480,40)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expected);
    TestProperties p(c.videoStandard);
    p.SetModelName("Cam");
    p.m_channelCount = 1;
    p.AddCodec(kCodecJpeg);
    p.m_main.frameRates.insert(c.rates.begin(), c.rates.end());
    p.AddResolution(640, 480, 0);
    FakeCapabilityResults results;
    p.Fill(&results);
    Calls tail = From(results.Calls(), "GetResolutionList()");
    ASSERT_GE(tail.size(), 2u);
    EXPECT_EQ(c.expected, tail[1]);
  }
}

TEST(CameraProperties, FillStopsAtTheFirstMissingPart) {
  struct Case {
    const char* what;
    void (*spoil)(TestProperties*, FakeCapabilityResults*);
    Calls expected;
  };
  const Calls head = {"SetModelName(Cam)",       "GetConnectionField(1)", "Field.SetText(10.0.0.5)",
                      "GetConnectionField(2)",   "Field.SetText(8554)",   "GetConnectionField(3)",
                      "Field.SetText(admin)",    "GetConnectionField(4)", "Field.SetText(secret)"};
  auto with = [&head](Calls more) {
    Calls all = head;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const Case kCases[] = {
      {"no codecs", [](TestProperties* p, FakeCapabilityResults*) { p->m_main.codecs.clear(); }, with({})},
      {"unknown codec only", [](TestProperties* p, FakeCapabilityResults*) { p->m_main.codecs = {7}; }, with({})},
      {"no channels", [](TestProperties* p, FakeCapabilityResults*) { p->m_channelCount = 0; },
       with({"SetValue(8,1)"})},
      {"no resolutions", [](TestProperties* p, FakeCapabilityResults*) { p->m_main.resolutions.clear(); },
       with({"SetValue(8,1)", "SetValue(0,1)", "GetResolutionList()"})},
      {"refused resolutions", [](TestProperties*, FakeCapabilityResults* r) { r->refuseResolutions = true; },
       with({"SetValue(8,1)", "SetValue(0,1)", "GetResolutionList()"})},
      {"no frame rates", [](TestProperties* p, FakeCapabilityResults*) { p->m_main.frameRates.clear(); },
       with({"SetValue(8,1)", "SetValue(0,1)", "GetResolutionList()", "Resolutions.Add(640x480,640,480,33)",
             "GetFrameRateList(1)"})},
      {"refused frame rates", [](TestProperties*, FakeCapabilityResults* r) { r->refuseFrameRates = true; },
       with({"SetValue(8,1)", "SetValue(0,1)", "GetResolutionList()", "Resolutions.Add(640x480,640,480,33)",
             "GetFrameRateList(1)"})},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    TestProperties p;
    MakeMinimal(&p);
    FakeCapabilityResults results;
    c.spoil(&p, &results);
    EXPECT_FALSE(p.Fill(&results));
    EXPECT_EQ(c.expected, results.Calls());
  }
}

TEST(CameraProperties, EmptyModelFailsBeforeAnythingIsWritten) {
  TestProperties p;
  p.m_channelCount = 1;
  p.AddCodec(kCodecH264);
  p.m_main.frameRates.insert(30);
  p.AddResolution(640, 480, 30);
  FakeCapabilityResults results;
  EXPECT_FALSE(p.Fill(&results));
  EXPECT_TRUE(results.Calls().empty());
  EXPECT_FALSE(p.Fill(nullptr));
}

TEST(CameraProperties, FeaturesStreamTextsAndAudio) {
  ScopedHostVersion env("6.1.0.0");
  TestProperties p;
  MakeMinimal(&p);
  p.m_namePrefix = "Acme";
  p.AddCodec(kCodecMpeg4);
  p.m_resultValues.value1 = true;
  p.m_resultValues.value5 = true;
  p.m_resultValues.value12 = true;
  p.m_resultValues.value2 = 4;
  p.m_resultValues.value13 = 9;
  p.m_resultValues.value13Kind = 2;
  p.m_streamCount = 3;
  p.m_live.codecs = {3};
  p.m_live.resolutions = {{320, 240, 0}};
  p.m_live.frameRates = {5, 10, 30};
  p.m_audioInput.channelCount = 2;
  p.m_audioInput.stereo = true;
  p.m_audioOutput.channelCount = 1;
  FakeCapabilityResults results;
  ASSERT_TRUE(p.Fill(&results));
  const Calls calls = results.Calls();
  EXPECT_EQ("SetModelName(Acme Cam)", calls.front());
  auto property = [](int id, const char* name, const char* value) {
    return Calls{"GetProperty(" + std::to_string(id) + ")", std::string("Property.SetName(") + name + ")",
                 "Property.SetReserved(0)", "Property.SetType(1)", std::string("Property.SetValueText(") + value + ")"};
  };
  Calls expected = {"SetValue(1,1)",  "SetValue(5,1)", "SetValue(11,0)", "SetValue(12,1)", "SetValue(2,4)",
                    "SetValue(13,9)", "SetValue(15,1)", "SetValue(17,0)", "SetValue(27,2)"};
  for (const Calls& more :
       {property(120, "Live Stream: Supported Codecs", "jpeg"),
        property(121, "Live Stream: Supported Resolutions", "320x240:33"),
        property(122, "Live Stream: Supported Framerates", "values=200,100,33;default=33"),
        property(124, "Remote Stream: Supported Codecs", "(none)"),
        property(125, "Remote Stream: Supported Resolutions", "(none)"),
        property(126, "Remote Stream: Supported Framerates", "(none)")})
    expected.insert(expected.end(), more.begin(), more.end());
  expected.push_back("SetValue(4,2)");
  for (const Calls& more : {property(101, "Audio Input Parameters", "Count=2; IsStereo=1"),
                            property(102, "Audio Output Parameters", "Count=1; IsStereo=0")})
    expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(expected, From(calls, "SetValue(1,1)"));
  // Both codecs, in ascending id order, before the channel count.
  const Calls codecs = From(calls, "SetValue(8,1)");
  ASSERT_GE(codecs.size(), 4u);
  EXPECT_EQ((Calls{"SetValue(8,1)", "SetValue(6,1)", "SetValue(0,1)", "GetResolutionList()"}),
            Calls(codecs.begin(), codecs.begin() + 4));
}

TEST(CameraProperties, StreamTextsNeedAStreamTextHost) {
  ScopedHostVersion env("6.0.0.0");
  TestProperties p;
  MakeMinimal(&p);
  p.m_streamCount = 3;
  FakeCapabilityResults results;
  ASSERT_TRUE(p.Fill(&results));
  EXPECT_EQ((Calls{"SetValue(11,0)", "SetValue(12,0)"}), From(results.Calls(), "SetValue(11,0)"));
}

// The whole description as the host receives it for a valid address.
TEST(RTSPCameraProperties, DescriptionOfAnRtspAndAnRtpAddress) {
  struct Case {
    const char* url;
    Calls expected;
  } const kCases[] = {
      {"rtsp://cam:554/live",
       {"SetModelName(RTSP Device)", "GetConnectionField(1)", "Field.SetText(cam)", "GetConnectionField(2)",
        "Field.SetText(554)", "GetConnectionField(3)", "Field.SetText(user)", "GetConnectionField(4)",
        "Field.SetText(pass)", "SetValue(8,1)", "SetValue(0,1)", "GetResolutionList()",
        "Resolutions.Add(640x480,640,480,33)", "GetFrameRateList(1)", "FrameRates.Add(33)",
        "FrameRates.SetDefault(33)", "SetValue(11,0)", "SetValue(12,0)", "GetProperty(1)",
        "Property.SetName(RTSP URI)", "Property.SetReserved(0)", "Property.SetType(1)",
        "Property.SetValueText(/live)", "GetProperty(2)", "Property.SetName(RTP Stream Only)",
        "Property.SetReserved(0)", "Property.SetType(0)", "Property.SetValueText(0)"}},
      {"rtp://239.1.1.1:5000",
       {"SetModelName(RTP Device)", "GetConnectionField(1)", "Field.SetText(239.1.1.1)", "GetConnectionField(2)",
        "Field.SetText(5000)", "GetConnectionField(3)", "Field.SetText(user)", "GetConnectionField(4)",
        "Field.SetText(pass)", "SetValue(8,1)", "SetValue(0,1)", "GetResolutionList()",
        "Resolutions.Add(640x480,640,480,33)", "GetFrameRateList(1)", "FrameRates.Add(33)",
        "FrameRates.SetDefault(33)", "SetValue(11,0)", "SetValue(12,0)", "GetProperty(1)",
        "Property.SetName(RTSP URI)", "Property.SetReserved(0)", "Property.SetType(1)",
        "Property.SetValueText((none))", "GetProperty(2)", "Property.SetName(RTP Stream Only)",
        "Property.SetReserved(0)", "Property.SetType(0)", "Property.SetValueText(1)"}},
  };
  for (const char* version : {static_cast<const char*>(nullptr), "6.4.0.0"}) {
    ScopedHostVersion env(version);
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.url);
      const int videoStandard = 0;  // the fixed 30 fps decide the codes either way
      CRTSPCameraProperties p(DEVICE_INFO(c.url, 80, "user", "pass"), videoStandard);
      int code = 0;
      ASSERT_TRUE(p.Query(&code));
      FakeCapabilityResults results;
      ASSERT_TRUE(p.Fill(&results));
      EXPECT_EQ(c.expected, results.Calls());
    }
  }
}

TEST(RTSPCameraProperties, QueryFailsOnABadAddressOrAfterAbort) {
  const int videoStandard = 1;
  CRTSPCameraProperties bad(DEVICE_INFO("cam:554", 80, "", ""), videoStandard);
  int code = 0;
  EXPECT_FALSE(bad.Query(&code));
  EXPECT_EQ(3, code);
  EXPECT_EQ("The \"cam:554\" string is not correct RTP or RTSP URL address", bad.GetLastErrorText());

  CRTSPCameraProperties aborted(DEVICE_INFO("rtsp://cam/live", 80, "", ""), videoStandard);
  aborted.Abort();
  code = 0;
  EXPECT_FALSE(aborted.Query(&code));
  EXPECT_EQ("", aborted.GetLastErrorText());
}

}  // namespace
}  // namespace telvora
