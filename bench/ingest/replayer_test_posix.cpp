// The replayer on loopback: what the receiving socket sees must be a
// well-formed RTP stream per port, across loops of the clip.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "clip.h"
#include "frame_tag.h"
#include "process_posix.h"
#include "replayer.h"
#include "rtsp_server_posix.h"

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
    // Real time: frame i goes out i * 40 ms after the schedule's start. A
    // frame the scheduler held up is sent late and the next one on time, so
    // each is measured against the schedule, whose start is the earliest
    // any frame allows, not against its neighbour.
    const int64_t kFrameNs = 40000000;
    int64_t start = INT64_MAX;
    for (size_t i = 0; i < sent.lastPacketNs.size(); ++i)
      start = std::min<int64_t>(start, int64_t(sent.lastPacketNs[i]) - int64_t(i) * kFrameNs);
    for (size_t i = 0; i < sent.lastPacketNs.size(); ++i) {
      const double lateMs = double(int64_t(sent.lastPacketNs[i]) - int64_t(i) * kFrameNs - start) / 1e6;
      EXPECT_LT(lateMs, 60) << i;
    }
    const double spanMs = double(sent.lastPacketNs.back() - sent.lastPacketNs.front()) / 1e6;
    EXPECT_GT(spanMs, 9 * 40 - 60);
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

// Reads one RTSP answer (head and body) from a blocking socket.
std::string ReadAnswer(int s) {
  std::string in;
  char ch;
  while (in.find("\r\n\r\n") == std::string::npos && recv(s, &ch, 1, 0) == 1) in += ch;
  const size_t at = in.find("Content-Length: ");
  size_t body = at == std::string::npos ? 0 : std::strtoul(in.c_str() + at + 16, nullptr, 10);
  while (body > 0 && recv(s, &ch, 1, 0) == 1) {
    in += ch;
    --body;
  }
  return in;
}

TEST(InterleavedServer, AnswersTheSessionThenFramesEveryPacketInOrder) {
  Clip clip;
  std::string error;
  ASSERT_TRUE(BuildClip(ThreeFrameClip(), "tiny", &clip, &error)) << error;
  uint16_t ports[2];
  for (uint16_t& port : ports) {  // free TCP ports, found through UDP sockets of the same number
    const int probe = BoundSocket(&port);
    close(probe);
  }
  // The second stream has no receiver: its packets are send errors, not a stall.
  const std::vector<StreamPlan> plan = {{ports[0], &clip, 0x1111}, {ports[1], &clip, 0x2222}};
  InterleavedServer server(plan);
  ASSERT_TRUE(server.Start(&error)) << error;
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const timeval bound = {10, 0};  // a fault fails the test instead of hanging it
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(ports[0]);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(ports[0]) + "/stream";
  const struct {
    std::string request;
    std::string expected;
  } exchanges[] = {
      {"OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", "RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: "},
      {"PLAY " + url + " RTSP/1.0\r\nCSeq: 2\r\n\r\n", "RTSP/1.0 455 "},
      {"DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 3\r\n\r\n", "sprop-parameter-sets=Z0LAHtoCgPaAbQoTUA==,aM48gA=="},
      {"SETUP " + url + "/trackID=0 RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n",
       "RTSP/1.0 461 "},
      {"SETUP " + url + "/trackID=0 RTSP/1.0\r\nCSeq: 5\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
       "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: "},
      {"PLAY " + url + " RTSP/1.0\r\nCSeq: 6\r\n\r\n", "RTSP/1.0 200 OK\r\nCSeq: 6\r\n"},
  };
  for (const auto& e : exchanges) {
    ASSERT_EQ(send(s, e.request.data(), e.request.size(), 0), ssize_t(e.request.size()));
    EXPECT_NE(ReadAnswer(s).find(e.expected), std::string::npos) << e.request;
  }
  EXPECT_EQ(server.Playing(), 1u);

  ReplayResult result;
  std::atomic<bool> stop{false};
  Replayer replayer(plan, 0.5);
  replayer.SetOutput(&server);
  ASSERT_TRUE(replayer.Run(0.4, stop, &result));
  // The receiver's own RTCP is skipped; the keep-alive is answered after the packets.
  const std::string rtcpAndKeepAlive = std::string("$\x01\x00\x02zz", 6) + "GET_PARAMETER " + url +
                                       " RTSP/1.0\r\nCSeq: 7\r\n\r\n";
  send(s, rtcpAndKeepAlive.data(), rtcpAndKeepAlive.size(), 0);

  size_t perStream = 0;
  for (size_t f = 0; f < 10; ++f) perStream += clip.frames[f % 3].packets.size();
  uint32_t frame = 0;
  uint16_t sequence = 0;
  for (size_t i = 0; i < perStream; ++i) {
    uint8_t head[4];
    ASSERT_EQ(recv(s, head, 4, MSG_WAITALL), 4) << "packet " << i;
    ASSERT_EQ(head[0], '$');
    ASSERT_EQ(head[1], 0);
    std::vector<uint8_t> p(size_t(head[2]) << 8 | head[3]);
    ASSERT_EQ(recv(s, p.data(), p.size(), MSG_WAITALL), ssize_t(p.size()));
    if (i > 0) {
      EXPECT_EQ(uint16_t(p[2] << 8 | p[3]), uint16_t(sequence + 1));
    }
    sequence = uint16_t(p[2] << 8 | p[3]);
    uint32_t number = 0;
    if (ReadFrameTag(p.data(), p.size(), &number)) {
      EXPECT_EQ(number, frame);
    }
    if (p[1] & 0x80) ++frame;
  }
  EXPECT_EQ(frame, 10u);
  EXPECT_EQ(ReadAnswer(s).rfind("RTSP/1.0 200 OK\r\nCSeq: 7\r\n", 0), 0u);
  EXPECT_EQ(result.sendErrors, perStream);
  EXPECT_EQ(server.Dropped(), 0u);
  close(s);
  server.Stop();
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
