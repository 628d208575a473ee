// The replayer on loopback: what the receiving socket sees must be a
// well-formed RTP stream per port, across loops of the clip.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "clip.h"
#include "frame_tag.h"
#include "process_posix.h"
#include "replayer.h"

namespace ingest {
namespace {

std::vector<uint8_t> ThreeFrameClip() {
  std::vector<uint8_t> out;
  auto add = [&out](std::vector<uint8_t> unit) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  };
  add({0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xF6, 0x80, 0x6D, 0x0A, 0x13, 0x50});
  add({0x68, 0xCE, 0x3C, 0x80});
  std::vector<uint8_t> idr(4000, 0x5A), p(900, 0x5A);
  idr[0] = 0x65;
  idr[1] = 0x88;
  p[0] = 0x41;
  p[1] = 0x9A;
  add(idr);
  add(p);
  add(p);
  return out;
}

int BoundSocket(uint16_t* port) {
  const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  int size = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  socklen_t length = sizeof(local);
  getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
  *port = ntohs(local.sin_port);
  return s;
}

struct Seen {
  std::vector<std::vector<uint8_t>> packets;
};

TEST(Replayer, EachPortGetsAContinuousStreamWithNumberedFrames) {
  Clip clip;
  std::string error;
  ASSERT_TRUE(BuildClip(ThreeFrameClip(), "tiny", &clip, &error)) << error;
  uint16_t ports[2];
  int sockets[2] = {BoundSocket(&ports[0]), BoundSocket(&ports[1])};
  std::vector<StreamPlan> plan = {{ports[0], &clip, 0x1111}, {ports[1], &clip, 0x2222}};
  ReplayResult result;
  std::atomic<bool> stop{false};
  Replayer replayer(plan, 0.5);
  ASSERT_TRUE(replayer.Run(0.4, stop, &result));  // 10 frames: three loops and a bit

  for (int s = 0; s < 2; ++s) {
    SCOPED_TRACE(s);
    const SentStream& sent = result.streams[s];
    ASSERT_EQ(sent.lastPacketNs.size(), 10u);
    EXPECT_TRUE(sent.key[0] && sent.key[3] && !sent.key[1]);
    for (size_t i = 1; i < sent.lastPacketNs.size(); ++i) {
      // Real time: one frame every 40 ms, give or take the scheduler.
      const double gapMs = double(sent.lastPacketNs[i] - sent.lastPacketNs[i - 1]) / 1e6;
      EXPECT_GT(gapMs, 20);
      EXPECT_LT(gapMs, 60);
    }
    std::vector<std::vector<uint8_t>> got;
    uint8_t buffer[2048];
    while (true) {
      const ssize_t n = recv(sockets[s], buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n <= 0) break;
      got.emplace_back(buffer, buffer + n);
    }
    size_t perLoop = 0;
    for (const ClipFrame& f : clip.frames) perLoop += f.packets.size();
    ASSERT_GT(perLoop, 0u);
    size_t expected = 0;
    for (size_t f = 0; f < 10; ++f) expected += clip.frames[f % 3].packets.size();
    ASSERT_EQ(got.size(), expected);
    uint32_t frame = 0;
    uint32_t tags = 0;
    uint32_t frameTimestamp = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      const std::vector<uint8_t>& p = got[i];
      const uint16_t sequence = uint16_t(p[2] << 8 | p[3]);
      const uint32_t timestamp = uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7];
      const uint32_t ssrc = uint32_t(p[8]) << 24 | uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | p[11];
      EXPECT_EQ(ssrc, s == 0 ? 0x1111u : 0x2222u);
      if (i > 0) {
        const uint16_t previous = uint16_t(got[i - 1][2] << 8 | got[i - 1][3]);
        EXPECT_EQ(sequence, uint16_t(previous + 1)) << "packet " << i;
      }
      if (i == 0 || (got[i - 1][1] & 0x80) != 0) {
        if (i > 0) {
          EXPECT_EQ(timestamp, frameTimestamp + 3600) << "packet " << i;
        }
        frameTimestamp = timestamp;
      } else {
        EXPECT_EQ(timestamp, frameTimestamp) << "packet " << i;
      }
      uint32_t number = 0;
      if (ReadFrameTag(p.data(), p.size(), &number)) {
        EXPECT_EQ(number, frame);
        ++tags;
      }
      if (p[1] & 0x80) ++frame;
    }
    EXPECT_EQ(frame, 10u);
    EXPECT_EQ(tags, 10u);
    close(sockets[s]);
  }
  EXPECT_EQ(result.sendErrors, 0u);
}

TEST(Replayer, StopsWhenTold) {
  Clip clip;
  std::string error;
  ASSERT_TRUE(BuildClip(ThreeFrameClip(), "tiny", &clip, &error)) << error;
  uint16_t port;
  const int s = BoundSocket(&port);
  std::atomic<bool> stop{false};
  ReplayResult result;
  std::thread stopper([&stop] {
    SleepSeconds(0.2);
    stop = true;
  });
  const int64_t start = MonotonicNs();
  Replayer({{port, &clip, 1}}, 0.5).Run(30, stop, &result);
  stopper.join();
  EXPECT_LT(double(MonotonicNs() - start) / 1e9, 2.0);
  close(s);
}

TEST(Processes, StartStopAndWhatProcShows) {
  uint16_t port;
  const int s = BoundSocket(&port);
  EXPECT_TRUE(PortsBound({port}));
  close(s);
  EXPECT_FALSE(PortsBound({port}));

  const pid_t child = Spawn({"sleep", "30"}, "", "");
  ASSERT_GT(child, 0);
  EXPECT_GE(CpuSeconds(child), 0);
  EXPECT_GT(PeakRssKib(child), 0);
  int status = 0;
  EXPECT_TRUE(StopProcess(child, SIGINT, 5, &status));  // sleep dies of SIGINT at once
  EXPECT_LT(CpuSeconds(child), 0);  // reaped: gone from /proc
}

}  // namespace
}  // namespace ingest
