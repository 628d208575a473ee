#include "config/configuration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "config/xml_parser.h"

namespace telvora {
namespace {

class TempDir {
 public:
  // std::filesystem rather than mkdtemp, so that the suite also runs on Windows.
  TempDir() {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
      const fs::path candidate = base / ("orvalen-config-" + std::to_string(random()));
      if (fs::create_directory(candidate, error)) m_path = candidate.string();
    }
    if (m_path.empty()) m_path = base.string();
  }
  ~TempDir() {
    std::remove((m_path + "/Orvalen.xml").c_str());
    std::error_code error;
    std::filesystem::remove(m_path, error);
  }
  const std::string& Path() const { return m_path; }
  void Write(const std::string& text) const {
    std::ofstream out(m_path + "/Orvalen.xml", std::ios::binary);
    out << text;
  }

 private:
  std::string m_path;
};

DEVICE_INFO Device(const std::string& address, uint16_t port) { return DEVICE_INFO(address, port, "u", "p"); }

const char* const kDocument = R"(<?xml version="1.0"?>
<Configuration>
  <Default>
    <VideoChannel>
      <RTPMode>RTPoverRTSP</RTPMode>
    </VideoChannel>
  </Default>
  <Device address="10.0.0.5" port="554">
    <VideoChannel id="2">
      <RTPMode>RTPoverRTSP</RTPMode>
      <KeepAlive>0</KeepAlive>
    </VideoChannel>
  </Device>
  <Device address="10.0.0.6" port="554">
    <VideoChannel id="0"><RTPMode>rtpoverrtsp</RTPMode><KeepAlive> 0</KeepAlive></VideoChannel>
    <VideoChannel id="1"><KeepAlive></KeepAlive></VideoChannel>
    <VideoChannel id="3"><KeepAlive>0</KeepAlive></VideoChannel>
  </Device>
  <Device address="10.0.0.7" port="80"/>
</Configuration>
)";

struct LookupCase {
  const char* name;
  const char* address;
  uint16_t port;
  uint32_t channel;
  int32_t rtpMode;
  int32_t keepAlive;
};

const LookupCase kCases[] = {
    // Exact device and channel.
    {"device_and_channel", "10.0.0.5", 554, 2, 2, 0},
    // Only id 2 exists under the device: the first VideoChannel is the fallback.
    {"first_channel_fallback", "10.0.0.5", 554, 1, 2, 0},
    // Address matches, port does not: the Default branch.
    {"port_differs", "10.0.0.5", 8554, 0, 2, 1},
    // Unknown device: Default.
    {"unknown_device", "192.168.1.1", 554, 0, 2, 1},
    // Letter case differs from RTPoverRTSP; " 0" is not "0".
    {"case_and_blank", "10.0.0.6", 554, 0, 0, 1},
    // An empty KeepAlive keeps keep-alive on.
    {"empty_keepalive", "10.0.0.6", 554, 1, 0, 1},
    {"keepalive_off", "10.0.0.6", 554, 3, 0, 0},
    // A matched device without channels: defaults, no fall back to Default.
    {"device_without_channels", "10.0.0.7", 80, 0, 0, 1},
    // A double quote breaks the query: nothing selected, Default applies.
    {"quote_in_address", "10.0.0.5\" or \"1\"=\"1", 554, 2, 2, 1},
    {"bracket_in_address", "10.0.0.5]", 554, 2, 2, 1},
};

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, FollowsTheFile) {
  const LookupCase& c = GetParam();
  TempDir dir;
  dir.Write(kDocument);
  CConfiguration config("Orvalen", dir.Path() + "/", Device(c.address, c.port));
  ChannelSettings s = config.GetChannelSettings(c.channel);
  EXPECT_EQ(s.RTPMode, c.rtpMode);
  EXPECT_EQ(s.KeepAlive, c.keepAlive);
}

INSTANTIATE_TEST_SUITE_P(Configuration, LookupTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

TEST(Configuration, DefaultsWithoutAFile) {
  TempDir dir;
  ChannelSettings s = CConfiguration("Orvalen", dir.Path(), Device("10.0.0.5", 554)).GetChannelSettings(2);
  EXPECT_EQ(s.RTPMode, 0);
  EXPECT_EQ(s.KeepAlive, 1);
}

TEST(Configuration, DefaultsForBrokenFiles) {
  const char* const kBroken[] = {
      "",
      "<Configuration><Default><VideoChannel><RTPMode>RTPoverRTSP</RTPMode>",  // not closed
      "\x01\x02\xff\xfe garbage",
      "<Other><Default><VideoChannel><RTPMode>RTPoverRTSP</RTPMode></VideoChannel></Default></Other>",
      "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
      "<Configuration><Default><VideoChannel><RTPMode>&b;</RTPMode></VideoChannel></Default></Configuration>",
  };
  for (const char* text : kBroken) {
    TempDir dir;
    dir.Write(text);
    ChannelSettings s = CConfiguration("Orvalen", dir.Path(), Device("10.0.0.5", 554)).GetChannelSettings(0);
    EXPECT_EQ(s.RTPMode, 0) << text;
    EXPECT_EQ(s.KeepAlive, 1) << text;
  }
}

TEST(Configuration, PathWithAndWithoutTrailingSeparator) {
  DEVICE_INFO d = Device("a", 1);
  std::string sep(1, CXMLParser::PathSeparator());
  EXPECT_EQ(CConfiguration("Orvalen", "/opt/host", d).GetPath(), "/opt/host" + sep + "Orvalen.xml");
  EXPECT_EQ(CConfiguration("Orvalen", "/opt/host" + sep, d).GetPath(), "/opt/host" + sep + "Orvalen.xml");
  EXPECT_EQ(CConfiguration("Orvalen", "C:\\host\\", d).GetPath(), "C:\\host\\Orvalen.xml");
  EXPECT_EQ(CConfiguration("Orvalen", "", d).GetPath(), "Orvalen.xml");
  EXPECT_EQ(CConfiguration("", "/opt/host", d).GetPath(), "");
}

TEST(Configuration, EditsTakeEffectAtTheNextLookup) {
  TempDir dir;
  CConfiguration config("Orvalen", dir.Path(), Device("10.0.0.5", 554));
  dir.Write("<Configuration><Default><VideoChannel><KeepAlive>0</KeepAlive></VideoChannel></Default></Configuration>");
  EXPECT_EQ(config.GetChannelSettings(0).KeepAlive, 0);
  dir.Write("<Configuration><Default><VideoChannel><KeepAlive>1</KeepAlive></VideoChannel></Default></Configuration>");
  EXPECT_EQ(config.GetChannelSettings(0).KeepAlive, 1);
}

TEST(XMLParser, LoadReleaseAndQueries) {
  TempDir dir;
  dir.Write("<Configuration><A>text</A><B/><C><D>x</D></C></Configuration>");
  CXMLParser parser;
  EXPECT_FALSE(parser.Load(""));
  EXPECT_FALSE(parser.Exists("Configuration"));
  ASSERT_TRUE(parser.Load(dir.Path() + "/Orvalen.xml"));
  // A second load keeps the first document.
  EXPECT_FALSE(parser.Load(dir.Path() + "/Orvalen.xml"));
  EXPECT_TRUE(parser.Exists("Configuration/A"));
  EXPECT_EQ(parser.Text("Configuration/A"), "text");
  EXPECT_EQ(parser.Text("Configuration/B"), "");
  // The first child of C is an element, whose node value is empty.
  EXPECT_EQ(parser.Text("Configuration/C"), "");
  EXPECT_FALSE(parser.Exists("Configuration/[["));
  EXPECT_EQ(parser.Text("Configuration/[["), "");
  parser.Release();
  EXPECT_FALSE(parser.Exists("Configuration/A"));
  EXPECT_FALSE(parser.Load(dir.Path() + "/missing.xml"));
}

}  // namespace
}  // namespace telvora
