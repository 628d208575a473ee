// The network between camera and driver misbehaves: packets lost and
// reordered on the way, a flood from a stranger, and a flood from the camera
// itself while the host does not take frames.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_peers.h"
#include "fault_kit.h"
#include "soak_door.h"
#include "support/tcp_proxy.h"
#include "support/udp_relay.h"
#include "tcp_fault_proxy.h"

namespace faults {
namespace {

using namespace std::chrono_literals;

// Puts the relay between camera and driver: SETUP names the relay's ports
// to the camera, and the relay forwards to the ports the driver asked for.
TcpFaultProxy::Rewriter ThroughRelay(telvora::test::UdpRelay& relay) {
  return [&relay](const std::string& request) {
    const size_t at = request.find("client_port=");
    if (request.compare(0, 6, "SETUP ") != 0 || at == std::string::npos) return request;
    const size_t start = at + 12;
    const size_t end = request.find_first_of(";\r", start);
    const int driverPort = std::atoi(request.c_str() + start);
    relay.SetDestination(static_cast<uint16_t>(driverPort));
    return request.substr(0, start) + std::to_string(relay.Port()) + "-" + std::to_string(relay.Port() + 1) +
           request.substr(end);
  };
}

// "7 8 5 | 1 1 | ..." for the first frames: the NAL unit types of each, to
// show which frame a decoder complained about.
std::string H264Outline(const std::vector<std::vector<uint8_t>>& frames, const std::vector<uint32_t>& formats) {
  std::string text;
  for (size_t f = 0; f < frames.size() && f < 60; ++f) {
    const std::vector<uint8_t>& b = frames[f];
    text += telvora::test::FourCCText(f < formats.size() ? formats[f] : 0) + "(" + std::to_string(b.size()) + "):";
    for (size_t i = 0; i + 3 < b.size(); ++i)
      if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) text += " " + std::to_string(b[i + 3] & 0x1F);
    text += " | ";
  }
  return text;
}

struct LossCase {
  const char* codec;
  const char* extension;
  size_t minFrames;  // after a loss the depacketizer waits for a key frame
};

void PrintTo(const LossCase& c, std::ostream* out) { *out << c.codec; }

class LossyNetwork : public testing::TestWithParam<LossCase> {};

TEST_P(LossyNetwork, EveryDeliveredFrameDecodes) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  const LossCase& c = GetParam();
  UseTransport("udp");
  e2e::TempDir dir;
  e2e::ChildProcess camera;
  std::string error;
  const std::string url = e2e::StartTestcam(
      &camera, {"--codec", c.codec, "--size", "320x240", "--protocols", "udp"}, dir.Path(), &error);
  ASSERT_FALSE(url.empty()) << error;
  telvora::test::UdpRelay relay({0.05, 0.05, 20240611});
  ASSERT_NE(relay.Port(), 0);
  TcpFaultProxy proxy(PortOf(url));
  proxy.SetRewriter(ThroughRelay(relay));

  FaultSink sink;
  sink.KeepBytes(64u << 20);
  HostDevice host;
  ASSERT_TRUE(host.Open("127.0.0.1:" + std::to_string(proxy.Port())));
  ASSERT_TRUE(host.OpenChannel(&sink));
  // Ten seconds of a 25 frames/s stream through the lossy link.
  EXPECT_TRUE(WaitUntil([&] { return relay.Received() >= 1 && sink.Frames() >= 1; }, 20s)) << host.LogText();
  std::this_thread::sleep_for(10s);
  EXPECT_GE(host.CloseChannel(), 0);
  host.Close();
  camera.Stop();

  const std::vector<std::vector<uint8_t>> frames = sink.KeptFrames();
  ASSERT_GE(frames.size(), c.minFrames) << "relay: received " << relay.Received() << ", dropped " << relay.Dropped();
  EXPECT_GT(relay.Dropped(), 0u);
  EXPECT_GT(relay.Reordered(), 0u);
  // The whole delivered stream, and for a stream of independent pictures
  // every frame by itself, must decode without a single complaint.
  const std::string whole = dir.Path() + "/delivered." + c.extension;
  const bool h264 = std::string(c.codec) == "h264";
  {
    std::ofstream out(whole, std::ios::binary);
    for (size_t i = 0; i < frames.size(); ++i) {
      // Each H.264 frame ends with the access unit delimiter that opens the
      // next one; after the last frame there is none, and a lone delimiter
      // at the end of the file would be a complaint of its own.
      size_t length = frames[i].size();
      if (h264 && i + 1 == frames.size() && length > 5) length -= 5;
      out.write(reinterpret_cast<const char*>(frames[i].data()), length);
    }
  }
  EXPECT_EQ(e2e::DecodeErrors(whole), "") << (h264 ? H264Outline(frames, sink.KeptFormats()) : std::string());
  size_t badFrames = 0;
  if (std::string(c.codec) == "jpeg") {
    for (size_t i = 0; i < frames.size(); ++i) {
      const std::string one = dir.Path() + "/frame.jpg";
      std::ofstream(one, std::ios::binary).write(reinterpret_cast<const char*>(frames[i].data()), frames[i].size());
      const std::string errors = e2e::DecodeErrors(one);
      if (!errors.empty()) {
        ++badFrames;
        ADD_FAILURE() << "frame " << i << ": " << errors;
      }
    }
  }
  const e2e::ProbeResult probe = e2e::ProbeVideo(whole);
  EXPECT_TRUE(probe.ok) << probe.error;
  EXPECT_EQ(probe.frames, static_cast<long>(frames.size())) << "every delivered frame is one picture";

  const std::string prefix = std::string("loss_") + c.codec + "_";
  Figure(prefix + "relayed_packets", relay.Received(), "packets");
  Figure(prefix + "dropped_packets", relay.Dropped(), "packets");
  Figure(prefix + "reordered_packets", relay.Reordered(), "packets");
  Figure(prefix + "delivered_frames", frames.size(), "frames");
  Figure(prefix + "decoded_frames", probe.frames, "frames");
  Figure(prefix + "undecodable_frames", badFrames, "frames");
}

INSTANTIATE_TEST_SUITE_P(Codecs, LossyNetwork,
                         testing::Values(LossCase{"h264", "h264", 10}, LossCase{"jpeg", "mjpeg", 50},
                                         LossCase{"mpeg4", "m4v", 5}),
                         [](const testing::TestParamInfo<LossCase>& info) { return info.param.codec; });

// A camera streaming over UDP into the driver, with the driver's ports.
class UdpStream {
 public:
  bool Start(FaultSink* sink, const std::string& size = "320x240") {
    UseTransport("udp");
    std::string error;
    m_url = e2e::StartTestcam(&m_camera, {"--codec", "h264", "--size", size, "--protocols", "udp"}, m_dir.Path(),
                              &error);
    if (m_url.empty()) {
      ADD_FAILURE() << error;
      return false;
    }
    m_relay = std::make_unique<telvora::test::UdpRelay>(telvora::test::UdpRelayOptions{});
    m_proxy = std::make_unique<TcpFaultProxy>(PortOf(m_url));
    m_proxy->SetRewriter(ThroughRelay(*m_relay));
    if (!m_host.Open("127.0.0.1:" + std::to_string(m_proxy->Port())) || !m_host.OpenChannel(sink)) return false;
    if (!sink->WaitForFrames(25, 20s)) {
      ADD_FAILURE() << m_host.LogText();
      return false;
    }
    const std::vector<uint16_t> ports = ProbedUdpPorts();
    if (ports.size() != 2) {
      ADD_FAILURE() << "expected the driver's RTP and RTCP ports, found " << ports.size();
      return false;
    }
    m_rtpPort = ports[0];
    return true;
  }
  uint16_t RtpPort() const { return m_rtpPort; }
  HostDevice& Host() { return m_host; }
  telvora::test::UdpRelay& Relay() { return *m_relay; }
  void Stop() {
    m_host.CloseChannel();
    m_host.Close();
    m_camera.Stop();
  }

 private:
  e2e::TempDir m_dir;
  e2e::ChildProcess m_camera;
  std::string m_url;
  std::unique_ptr<telvora::test::UdpRelay> m_relay;
  std::unique_ptr<TcpFaultProxy> m_proxy;
  HostDevice m_host;
  uint16_t m_rtpPort = 0;
};

TEST(UdpFloods, AFloodFromAForeignAddressIsIgnoredAtBoundedCost) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  FaultSink sink;
  sink.KeepBytes(64u << 20);
  UdpStream stream;
  ASSERT_TRUE(stream.Start(&sink));
  constexpr unsigned kRate = 20000;
  constexpr unsigned kSeconds = 5;
  UdpFlood rtp("127.0.0.2", stream.RtpPort(), 1200, kRate, kSeconds * 1000);
  UdpFlood rtcp("127.0.0.2", static_cast<uint16_t>(stream.RtpPort() + 1), 200, kRate / 10, kSeconds * 1000);
  rtp.SetRtp(0x0A0B0C0D);
  const size_t framesBefore = sink.Frames();
  const double cpuBefore = ProcessCpuSeconds();
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(rtp.Start()) << "127.0.0.2 cannot be bound";
  ASSERT_TRUE(rtcp.Start());
  std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
  rtp.Stop();
  rtcp.Stop();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double driverCpu = ProcessCpuSeconds() - cpuBefore - rtp.SenderCpuSeconds() - rtcp.SenderCpuSeconds();
  const size_t frames = sink.Frames() - framesBefore;
  const size_t sent = rtp.Sent() + rtcp.Sent();
  stream.Stop();

  // The camera's 25 frames a second keep coming; on a loaded machine the
  // kernel may drop some of its datagrams among the stranger's.
  EXPECT_GE(frames, static_cast<size_t>(wall * 25 * 0.5)) << "frames during the flood: " << frames;
  // Had a stranger's packet reached the depacketizer, it would have broken
  // a frame or the sequence: what the host got decodes as a whole.
  e2e::TempDir dir;
  const std::string file = dir.Path() + "/flooded.h264";
  {
    const std::vector<std::vector<uint8_t>> kept = sink.KeptFrames();
    std::ofstream out(file, std::ios::binary);
    for (size_t i = 0; i < kept.size(); ++i)
      out.write(reinterpret_cast<const char*>(kept[i].data()), kept[i].size() - (i + 1 == kept.size() ? 5 : 0));
  }
  EXPECT_EQ(e2e::DecodeErrors(file), "");
  // Dropping a stranger's datagram costs far less than a core.
  const double share = driverCpu / wall;
  EXPECT_LT(share, 0.8) << "driver CPU " << driverCpu << " s in " << wall << " s";
  Figure("foreign_flood_packets", sent, "packets");
  Figure("foreign_flood_rate", sent / wall, "packets/s");
  Figure("foreign_flood_driver_cpu_share", share * 100, "%core");
  Figure("foreign_flood_driver_cpu_per_packet_us", sent > 0 ? driverCpu / sent * 1e6 : 0, "us");
  Figure("foreign_flood_frames_per_s", frames / wall, "frames/s");
}

TEST(UdpFloods, DeviceFloodWhileOnFrameBlocksStaysWithinTheQueueBound) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  FaultSink sink;
  UdpStream stream;
  ASSERT_TRUE(stream.Start(&sink));
  // The camera's own rate, over two seconds of streaming.
  const size_t relayedBefore = stream.Relay().Received();
  std::this_thread::sleep_for(2s);
  const double streamRate = (stream.Relay().Received() - relayedBefore) / 2.0;
  ASSERT_GT(streamRate, 10);
  const size_t rssBefore = ResidentBytes();

  sink.SetMode(FaultSink::Mode::kBlock);
  ASSERT_TRUE(WaitUntil([&] { return sink.Blocked() == 1; }, 5s));
  const unsigned rate = static_cast<unsigned>(streamRate * 10);
  // Large datagrams, so that both the byte and the packet bound are met
  // within the flood.
  UdpFlood flood("127.0.0.1", stream.RtpPort(), 8000, rate, 12000);
  flood.SetRtp(0x0A0B0C0D);
  ASSERT_TRUE(flood.Start());
  size_t peak = rssBefore;
  const Clock::time_point end = Clock::now() + 12500ms;
  while (Clock::now() < end) {
    peak = std::max(peak, ResidentBytes());
    std::this_thread::sleep_for(100ms);
  }
  flood.Stop();
  const size_t growth = peak > rssBefore ? peak - rssBefore : 0;
  const size_t blockedCalls = sink.Calls();
  sink.Release();
  // Once the host takes frames again and the flood is over, the camera's
  // frames come through again.
  const size_t after = sink.Frames();
  EXPECT_TRUE(sink.WaitForFrames(after + 25, 20s)) << stream.Host().LogText();
  EXPECT_GE(stream.Host().Log().Logs().CountAtLevel(2, "RTP"), 1u) << "an overflow is reported\n"
                                                                    << stream.Host().LogText();
  stream.Stop();

  // Queue: 16 MiB of payload and 4096 packets of bookkeeping; beside it
  // the depacketizer's frame buffer (10 MiB at most) and the allocator's
  // slack.
  const size_t bound = (16u << 20) + 4096u * 1024u + (10u << 20) + (8u << 20);
  if (!UnderAddressSanitizer()) {
    EXPECT_LT(growth, bound) << "RSS grew by " << growth / 1024 << " KiB";
  }
  Figure("device_flood_stream_rate", streamRate, "packets/s");
  Figure("device_flood_rate", rate, "packets/s");
  Figure("device_flood_packets", flood.Sent(), "packets");
  Figure("device_flood_bytes", flood.Sent() * 8000.0, "bytes");
  // The sanitizer's quarantine keeps freed memory resident, so its RSS
  // says nothing about the driver.
  if (!UnderAddressSanitizer()) {
    Figure("device_flood_rss_growth", growth, "bytes");
    Figure("device_flood_rss_bound", bound, "bytes");
  }
  Figure("device_flood_calls_while_blocked", blockedCalls, "calls");
}

// A camera that changes its address: the door listens on the new address
// with the same port, the old one refuses and what came through it is
// reset; an address it cannot take leaves it where it was.
TEST(MovingDoor, TheOldAddressRefusesAndTheNewOneServesOnTheSamePort) {
  telvora::test::TcpProxy::Hooks hooks;
  hooks.handler = [](telvora::test::ProxyLink& link) {
    char byte = 0;
    while (recv(link.client, &byte, 1, 0) == 1 && send(link.client, &byte, 1, MSG_NOSIGNAL) == 1) {
    }
  };
  telvora::test::TcpProxy echo(0, hooks);
  ASSERT_NE(echo.Port(), 0);
  const auto address = [](const char* dotted) {
    in_addr parsed{};
    inet_pton(AF_INET, dotted, &parsed);
    return ntohl(parsed.s_addr);
  };
  soak::Doorway door(address("127.0.0.20"), echo.Port());
  ASSERT_NE(door.Port(), 0);
  const auto connectTo = [&](const char* dotted) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(door.Port());
    inet_pton(AF_INET, dotted, &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
      close(fd);
      return -1;
    }
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return fd;
  };
  const auto echoes = [](int fd) {
    char byte = 'x';
    return fd >= 0 && send(fd, &byte, 1, MSG_NOSIGNAL) == 1 && recv(fd, &byte, 1, 0) == 1 && byte == 'x';
  };
  const int before = connectTo("127.0.0.20");
  EXPECT_TRUE(echoes(before));

  ASSERT_TRUE(door.Move(address("127.0.0.21")));
  char byte = 0;
  EXPECT_LE(recv(before, &byte, 1, 0), 0) << "the connection through the old address is ended";
  EXPECT_EQ(connectTo("127.0.0.20"), -1);
  const int after = connectTo("127.0.0.21");
  EXPECT_TRUE(echoes(after));

  // Someone else holds the port on the next address: the door stays.
  const int squatter = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in taken{};
  taken.sin_family = AF_INET;
  taken.sin_port = htons(door.Port());
  inet_pton(AF_INET, "127.0.0.22", &taken.sin_addr);
  ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr*>(&taken), sizeof(taken)), 0);
  ASSERT_EQ(listen(squatter, 1), 0);
  EXPECT_FALSE(door.Move(address("127.0.0.22")));
  EXPECT_TRUE(echoes(after));
  for (int fd : {before, after, squatter})
    if (fd >= 0) close(fd);
}

// A camera that moved sends from its new address, and a multicast relay
// sends to its group: the relay's sending side follows both while it runs.
TEST(UdpRelayAddresses, SendsFromAndToTheAddressesSetWhileRunning) {
  telvora::test::UdpRelay relay({});
  ASSERT_NE(relay.Port(), 0);
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sender, 0);
  const struct {
    const char* source;  // "" leaves the system's choice
    const char* destination;
    const char* seenFrom;
  } rows[] = {{"", "127.0.0.1", "127.0.0.1"},
              {"127.0.0.5", "127.0.0.1", "127.0.0.5"},
              {"127.0.0.6", "127.0.0.7", "127.0.0.6"},
              {"", "127.0.0.1", "127.0.0.1"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.source) + " -> " + row.destination);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, row.destination, &at.sin_addr);
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t length = sizeof(at);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr*>(&at), &length), 0);
    in_addr source{};
    if (row.source[0] != '\0') inet_pton(AF_INET, row.source, &source);
    relay.SetSourceAddress(ntohl(source.s_addr));
    relay.SetDestinationAddress(ntohl(at.sin_addr.s_addr));
    relay.SetDestination(ntohs(at.sin_port));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(relay.Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The relay takes up a change at its next datagram at the latest; what
    // went out before it is read past.
    std::string seen;
    const Clock::time_point deadline = Clock::now() + 5s;
    while (seen != row.seenFrom && Clock::now() < deadline) {
      const char rtp[12] = {char(0x80), 96};
      sendto(sender, rtp, sizeof(rtp), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      pollfd in = {receiver, POLLIN, 0};
      if (poll(&in, 1, 200) <= 0) continue;
      char buffer[64];
      sockaddr_in from{};
      socklen_t fromLength = sizeof(from);
      if (recvfrom(receiver, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &fromLength) < 0) continue;
      char text[INET_ADDRSTRLEN] = {0};
      seen = inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
    }
    EXPECT_EQ(seen, row.seenFrom);
    close(receiver);
  }
  close(sender);
}

}  // namespace
}  // namespace faults
