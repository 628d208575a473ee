// The RTP-only video channel with real RTP over loopback: the codec
// recognised from the packets, source filtering, time stamps across a new
// SSRC, multicast inside a network namespace, and inputs that cannot work.
#include "channels/rtp_video_channel.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "channels/channel_test_kit.h"
#include "platform/module.h"

namespace telvora {
namespace {

using namespace std::chrono_literals;
using test::DeviceRig;
using test::FourCC;

TEST(RtpVideoChannel, MulticastAddressTest) {
  struct Case {
    const char* address;
    bool multicast;
  };
  const Case kCases[] = {
      {"239.1.2.3", true},     {"224.0.0.1", true},  {"223.255.255.255", false}, {"240.0.0.1", false},
      {"192.168.0.10", false}, {"", false},          {"239.1.2", false},         {"239.1.2.3.4", false},
      {"65760.0.0.1", true},   // 65760 & 0xFFFF = 224: the first part is read as 16 bits
      {"cam239.1.2.3", false}, {"0239.1.1.1", true},
  };
  for (const Case& c : kCases) EXPECT_EQ(IsMulticastAddress(c.address), c.multicast) << c.address;
}

TEST(RtpVideoChannel, Mpeg4FrameStartCodes) {
  struct Case {
    std::vector<uint8_t> payload;
    bool mpeg4;
  };
  const Case kCases[] = {
      {{0, 0, 1, 0xB0, 1}, true},     // visual object sequence
      {{0, 0, 1, 0xB5, 9}, true},     // visual object
      {{0, 0, 1, 0x00, 0}, true},     // video object
      {{0, 0, 1, 0x20, 0}, true},     // video object layer
      {{0, 0, 1, 0xB3, 0}, true},     // group of VOP
      {{0, 0, 1, 0xB6, 0x10}, true},  // VOP
      {{0, 0, 1, 0xB2, 0}, false},    // user data leads no frame
      {{0, 0, 0, 1, 0x67}, false},    // a start code in front of an H.264 NAL unit
      {{0x67, 0x42, 0, 0x1E}, false},  // H.264 single NAL unit
      {{0x7C, 0x85, 0, 0}, false},     // H.264 FU-A
      {{0, 0, 1}, false},              // too short
  };
  for (const Case& c : kCases)
    EXPECT_EQ(StartsMpeg4Frame(c.payload.data(), c.payload.size()), c.mpeg4) << int(c.payload.size() > 3 ? c.payload[3] : 0);
}

class IntegrationRtpChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed for the media";
    m_threads = test::CountOwnThreads();
    m_port = test::FindFreeUdpPortPair();
    ASSERT_NE(m_port, 0);
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_TRUE(test::WaitForThreadCount(m_threads, 3000ms));
    }
  }
  size_t m_threads = 0;
  uint16_t m_port = 0;
};

TEST_F(IntegrationRtpChannel, RecognisesEachCodecFromThePackets) {
  struct Case {
    const char* name;
    uint8_t payloadType;
    const char* key;    // SetFormat of a key frame; null: the format of CreateFrame stands
    const char* delta;  // of any other frame
    uint8_t firstByte;  // of every frame: a start code, or the JPEG SOI marker
  };
  const Case kCases[] = {
      {"H.264", 96, "H264", "I264", 0x00},
      {"MPEG-4", 98, "DIVX", "DIVI", 0x00},
      {"JPEG", 26, nullptr, nullptr, 0xFF},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    test::RtpStreamSettings stream;
    stream.payloadType = c.payloadType;
    std::vector<test::RtpDatagram> packets;
    if (c.payloadType == 26)
      packets = test::JpegPackets(stream, 5);
    else if (std::string(c.name) == "H.264")
      packets = test::H264Packets(stream);
    else
      packets = test::Mpeg4Packets(stream);
    ASSERT_FALSE(packets.empty());

    DeviceRig rig(m_port);
    rig.driver.SetParameter(2, "1");
    CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
    CHANNEL_SETTINGS settings{};
    ASSERT_TRUE(channel.Start(&settings));
    test::PacedRtpSender sender(packets, "127.0.0.1", m_port);
    // The port opens on the channel thread; packets before that are lost.
    ASSERT_TRUE(test::WaitUntil([&] { return test::OwnUdpPorts().size() == 2; }, 2000ms));
    sender.Start();
    ASSERT_TRUE(rig.sink.WaitForFrames(12, 15s)) << "frames: " << rig.sink.FrameCount();
    sender.Stop();
    channel.Stop();

    for (const auto& f : rig.sink.Frames()) {
      if (c.key == nullptr)
        EXPECT_EQ(f.format, 0u);
      else
        EXPECT_TRUE(f.format == FourCC(c.key) || f.format == FourCC(c.delta)) << test::FourCCText(f.format);
      EXPECT_EQ(f.width, 320u);
      EXPECT_EQ(f.height, 240u);
      ASSERT_GT(f.bytes.size(), 100u);
      EXPECT_EQ(f.bytes[0], c.firstByte);
    }
    if (c.key != nullptr)
      EXPECT_EQ(rig.sink.Frames().front().format, FourCC(c.key)) << "a stream starts with a key frame";
    else
      EXPECT_EQ(rig.allocator.Created(), static_cast<int>(rig.sink.OnFrameCalls()));
    EXPECT_EQ(rig.driver.Logs().Count("Camera 127.0.0.1 is online (Rec)"), 1u);
  }
}

TEST_F(IntegrationRtpChannel, AcceptsOnlyTheDeviceAsSource) {
  struct Case {
    const char* address;  // the device; the packets come from 127.0.0.1
    bool frames;
  };
  const Case kCases[] = {{"127.0.0.1", true}, {"127.0.0.2", false}, {"no-such-camera.invalid", false}};
  const std::vector<test::RtpDatagram> packets = test::H264Packets();
  ASSERT_FALSE(packets.empty());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.address);
    DeviceRig rig(m_port, c.address);
    CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
    CHANNEL_SETTINGS settings{};
    ASSERT_TRUE(channel.Start(&settings));
    ASSERT_TRUE(test::WaitUntil([&] { return test::OwnUdpPorts().size() >= 1; }, 2000ms)) << "the port opens";
    test::PacedRtpSender sender(packets, "127.0.0.1", m_port);
    sender.Start();
    if (c.frames) {
      EXPECT_TRUE(rig.sink.WaitForFrames(5, 10s));
    } else {
      // Long enough for a key frame and several restarts of the stream.
      std::this_thread::sleep_for(2500ms);
      EXPECT_EQ(rig.sink.OnFrameCalls(), 0u);
      EXPECT_NE(channel.GetState(), kStateStreaming);
    }
    sender.Stop();
    channel.Stop();
  }
}

TEST_F(IntegrationRtpChannel, NewSsrcRestartsTheTimeStamps) {
  // Timestamps that run twice as fast as the wall clock push the frame
  // times ahead of it; a new SSRC starts them from the wall clock again.
  const std::vector<test::RtpDatagram> packets = test::H264Packets();
  ASSERT_FALSE(packets.empty());
  DeviceRig rig(m_port);
  CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
  CHANNEL_SETTINGS settings{};
  ASSERT_TRUE(channel.Start(&settings));
  ASSERT_TRUE(test::WaitUntil([&] { return test::OwnUdpPorts().size() == 2; }, 2000ms));
  test::PacedRtpSender sender(packets, "127.0.0.1", m_port);
  sender.SetTimestampStep(7200);
  sender.Start();
  ASSERT_TRUE(rig.sink.WaitForFrames(40, 15s));
  const int64_t ahead = rig.sink.OffsetsMs().back();
  EXPECT_GT(ahead, 500) << "40 frames of 80 ms RTP time in 40 ms each";

  const size_t before = rig.sink.FrameCount();
  sender.SetSsrc(0x55667788);
  ASSERT_TRUE(rig.sink.WaitForFrames(before + 15, 5s));
  const std::vector<int64_t> offsets = rig.sink.OffsetsMs();
  size_t first = before;
  // Frames of the old SSRC still queued may come first; the new SSRC's
  // first frame is the one that drops back to the wall clock.
  while (first < offsets.size() && offsets[first] > 100) ++first;
  ASSERT_LT(first, offsets.size()) << "no frame time came back to the wall clock";
  EXPECT_GE(offsets[first], -100);
  EXPECT_LE(first - before, 12u) << "the new SSRC is taken at once (one key frame interval)";
  sender.Stop();
  channel.Stop();
}

TEST_F(IntegrationRtpChannel, DevicePortZeroFailsEveryStartWithOneLine) {
  DeviceRig rig(0);
  CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
  CHANNEL_SETTINGS settings{};
  ASSERT_TRUE(channel.Start(&settings));
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(test::CountOwnUdpSockets(), 0u);
  EXPECT_NE(channel.GetState(), kStateStreaming);
  const auto before = std::chrono::steady_clock::now();
  channel.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2000ms);
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, "Device 127.0.0.1:0: port 0 is no RTP port"), 1u);
  EXPECT_EQ(rig.sink.OnFrameCalls(), 0u);
}

TEST_F(IntegrationRtpChannel, PortInUseIsReportedOnceAndTakenWhenFree) {
  const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(m_port);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  DeviceRig rig(m_port);
  CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
  CHANNEL_SETTINGS settings{};
  ASSERT_TRUE(channel.Start(&settings));
  const std::string line = "Device 127.0.0.1:" + std::to_string(m_port) + ": UDP port " + std::to_string(m_port) +
                           " cannot be opened";
  EXPECT_TRUE(rig.driver.Logs().WaitFor(line, 2000ms));
  std::this_thread::sleep_for(1500ms);  // another retry or two
  EXPECT_EQ(rig.driver.Logs().CountAtLevel(1, line), 1u);
  close(blocker);
  test::PacedRtpSender sender(test::H264Packets(), "127.0.0.1", m_port);
  sender.Start();
  EXPECT_TRUE(rig.sink.WaitForFrames(5, 10s)) << "the next retry takes the freed port";
  sender.Stop();
  channel.Stop();
}

// ---- multicast, inside a network namespace of the test's own ----

constexpr const char* kChildVariable = "ORVALEN_CHANNELS_NETNS_CHILD";
constexpr const char* kGroup = "239.255.43.7";

void ReceiveFromTheGroup(uint16_t port) {
  const std::vector<test::RtpDatagram> packets = test::H264Packets();
  ASSERT_FALSE(packets.empty());
  DeviceRig rig(port, kGroup);
  CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
  CHANNEL_SETTINGS settings{};
  ASSERT_TRUE(channel.Start(&settings));
  ASSERT_TRUE(test::WaitUntil([&] { return test::OwnUdpPorts().size() == 2; }, 2000ms)) << "no group joined";
  // The sender is not the device address, but the group is: any source counts.
  test::PacedRtpSender sender(packets, kGroup, port);
  sender.Start();
  EXPECT_TRUE(rig.sink.WaitForFrames(10, 10s)) << "frames: " << rig.sink.FrameCount();
  sender.Stop();
  channel.Stop();
  for (const auto& f : rig.sink.Frames()) EXPECT_EQ(f.width, 320u);
}

bool RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Runs the named test again inside a network namespace of its own, with a
// multicast route on its loopback and the given /etc/hosts, and expects it
// to pass there.
void RunInsideANetworkNamespace(const std::string& testName, uint16_t port, const std::string& hosts) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) GTEST_SKIP() << "no /proc/self/exe";
  if (!RunQuietly("ip netns list")) GTEST_SKIP() << "the ip tool cannot list network namespaces here";
  uint8_t id[16];
  platform::CreateRandomId(id);
  char name[32];
  std::snprintf(name, sizeof(name), "orvchan%02x%02x%02x%02x", id[0], id[1], id[2], id[3]);
  // "ip netns exec" mounts the files of /etc/netns/<name> over those of /etc.
  const std::filesystem::path etc = std::filesystem::path("/etc/netns") / name;
  std::filesystem::create_directories(etc, error);
  if (!error) std::ofstream(etc / "hosts") << hosts;
  if (error || !RunQuietly(std::string("ip netns add ") + name)) {
    std::filesystem::remove_all(etc, error);
    GTEST_SKIP() << "cannot create a network namespace";
  }
  const std::string inside = std::string("ip netns exec ") + name + " ";
  const bool ready = RunQuietly(inside + "ip link set lo up") && RunQuietly(inside + "ip route add 224.0.0.0/4 dev lo");
  const std::filesystem::path output = std::filesystem::temp_directory_path() / (std::string(name) + ".log");
  int status = -1;
  if (ready) {
    const std::string command = "timeout 60 " + inside + "env " + kChildVariable + "=" + std::to_string(port) + " '" +
                                self.string() + "' --gtest_filter=" + testName + " > '" + output.string() + "' 2>&1";
    status = std::system(command.c_str());
  }
  RunQuietly(std::string("ip netns delete ") + name);
  std::filesystem::remove_all(etc, error);
  if (!ready) GTEST_SKIP() << "the namespace could not get a loopback with a multicast route";
  std::ifstream log(output);
  std::stringstream text;
  text << log.rdbuf();
  std::filesystem::remove(output, error);
  EXPECT_EQ(status, 0) << "the half inside the namespace failed:\n" << text.str();
}

TEST_F(IntegrationRtpChannel, MulticastGroupAsDeviceAddressInsideANetworkNamespace) {
  if (const char* child = std::getenv(kChildVariable)) {
    ReceiveFromTheGroup(static_cast<uint16_t>(std::atoi(child)));
    return;
  }
  RunInsideANetworkNamespace("IntegrationRtpChannel.MulticastGroupAsDeviceAddressInsideANetworkNamespace", m_port,
                             "127.0.0.1 localhost\n");
}

// A camera known by name gets a new address: the next start looks the name
// up again and takes the packets from there.
TEST_F(IntegrationRtpChannel, FollowsTheDeviceNameToANewAddressInsideANetworkNamespace) {
  const char* child = std::getenv(kChildVariable);
  if (child == nullptr) {
    RunInsideANetworkNamespace("IntegrationRtpChannel.FollowsTheDeviceNameToANewAddressInsideANetworkNamespace",
                               m_port, "127.0.0.2 camera.orvalen.test\n");
    return;
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(child));
  const std::vector<test::RtpDatagram> packets = test::H264Packets();
  DeviceRig rig(port, "camera.orvalen.test");
  CRtpVideoChannel channel(0, &rig.driver, &rig.sink);
  CHANNEL_SETTINGS settings{};
  ASSERT_TRUE(channel.Start(&settings));
  {
    test::PacedRtpSender before(packets, "127.0.0.1", port);
    before.SetSource("127.0.0.2");
    before.Start();
    ASSERT_TRUE(rig.sink.WaitForFrames(5, 10s)) << "frames: " << rig.sink.FrameCount();
  }
  // The bind mount keeps the file: it is rewritten in place.
  std::ofstream("/etc/hosts", std::ios::trunc) << "127.0.0.3 camera.orvalen.test\n";
  test::PacedRtpSender moved(packets, "127.0.0.1", port);
  moved.SetSource("127.0.0.3");
  moved.Start();
  const size_t frames = rig.sink.FrameCount();
  EXPECT_TRUE(rig.sink.WaitForFrames(frames + 5, 10s)) << "no frame from the new address";
  moved.Stop();
  channel.Stop();
}

}  // namespace
}  // namespace telvora
