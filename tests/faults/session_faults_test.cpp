// RTSP sessions that go wrong: the connection reset in the middle of PLAY,
// a server that stalls part-way, and servers that answer garbage. The
// driver must keep retrying, stay bounded, and close at once when told.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "e2e_peers.h"
#include "fault_kit.h"
#include "misbehaving_camera.h"
#include "tcp_fault_proxy.h"

namespace faults {
namespace {

using namespace std::chrono_literals;

class TcpReset : public testing::TestWithParam<const char*> {};

TEST_P(TcpReset, InTheMiddleOfPlayTheStreamComesBack) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  const std::string transport = GetParam();
  UseTransport(transport);
  e2e::TempDir dir;
  e2e::ChildProcess camera;
  std::string error;
  const std::string url = e2e::StartTestcam(&camera, {"--codec", "h264", "--size", "320x240", "--protocols", transport},
                                            dir.Path(), &error);
  ASSERT_FALSE(url.empty()) << error;
  TcpFaultProxy proxy(PortOf(url));
  ASSERT_NE(proxy.Port(), 0);
  const size_t threads = ThreadCount();
  {
    FaultSink sink;
    HostDevice host;
    ASSERT_TRUE(host.Open("127.0.0.1:" + std::to_string(proxy.Port())));
    ASSERT_TRUE(host.OpenChannel(&sink));
    ASSERT_TRUE(sink.WaitForFrames(50, 20s)) << host.LogText();
    proxy.ResetAll();
    const Clock::time_point resetAt = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return proxy.Resets() >= 1; }, 2s));
    // Whatever the camera does with its half of the session, frames flow
    // again on a connection of their own within the no-data watch.
    std::this_thread::sleep_for(500ms);
    const size_t after = sink.Frames();
    EXPECT_TRUE(sink.WaitForFrames(after + 25, 25s)) << host.LogText();
    const Clock::time_point first = sink.FirstFrameAfter(resetAt + 500ms);
    if (first != Clock::time_point())
      Figure("tcp_reset_" + transport + "_frames_again_ms",
             std::chrono::duration<double, std::milli>(first - resetAt).count(), "ms");
    if (transport == "tcp") {
      EXPECT_GE(proxy.Connections(), 2u) << "the reset ends an interleaved stream";
    }
    const double closeMs = host.CloseChannel();
    EXPECT_GE(closeMs, 0);
    EXPECT_LT(closeMs, 3000);
    host.Close();
  }
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }, 3s)) << ThreadCount() - threads << " threads left";
  camera.Stop();
}

INSTANTIATE_TEST_SUITE_P(Transports, TcpReset, testing::Values("udp", "tcp"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// What a server does with the connection, for the stall and garbage cases.
struct ServerCase {
  const char* name;
  const char* transport;
  MisbehavingCamera::Behaviour behaviour;
  unsigned retryWithinMs;  // a second connection must come within this
  bool framesPossible = false;  // junk can look like video by chance
};

void PrintTo(const ServerCase& c, std::ostream* out) { *out << c.name; }

// Answers properly until the method comes, then says nothing more.
MisbehavingCamera::Behaviour StallAt(const std::string& method, const std::string& partial = "") {
  return [method, partial](CameraConnection& c, unsigned) {
    for (;;) {
      const std::string request = c.ReadRequest();
      if (request.empty()) return;
      if (CameraConnection::MethodOf(request) == method) {
        if (!partial.empty()) c.Send(partial);
        return;
      }
      c.Send(CameraConnection::GoodAnswer(request));
    }
  };
}

// Answers every request with the text the generator makes.
MisbehavingCamera::Behaviour AnswerWith(std::function<std::string(const std::string&, std::mt19937&)> make) {
  return [make](CameraConnection& c, unsigned index) {
    std::mt19937 random(index * 7919u);
    for (;;) {
      const std::string request = c.ReadRequest();
      if (request.empty() || !c.Send(make(request, random))) return;
    }
  };
}

std::string RandomBytes(std::mt19937& random, size_t length) {
  std::string bytes(length, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Good answers up to PLAY, then interleaved frames of random channels and
// lengths with junk inside, for a few seconds.
void InterleavedJunk(CameraConnection& c, unsigned index) {
  std::mt19937 random(index);
  for (;;) {
    const std::string request = c.ReadRequest();
    if (request.empty()) return;
    c.Send(CameraConnection::GoodAnswer(request));
    if (CameraConnection::MethodOf(request) == "PLAY") break;
  }
  const Clock::time_point end = Clock::now() + 3s;
  while (!c.Stopping() && Clock::now() < end) {
    std::string frame = "$";
    frame += static_cast<char>(random() % 4);
    const size_t length = random() % 3000;
    frame += static_cast<char>(length >> 8);
    frame += static_cast<char>(length & 0xFF);
    std::string payload = RandomBytes(random, length);
    if (length >= 2 && random() % 2 == 0) payload[0] = '\x80';  // looks like RTP version 2
    if (!c.Send(frame + payload)) return;
    if (random() % 50 == 0 && !c.Send(RandomBytes(random, random() % 64))) return;  // out of step
    std::this_thread::sleep_for(1ms);
  }
}

const ServerCase kServerCases[] = {
    {"silent_after_connect", "udp", StallAt("DESCRIBE"), 12000},
    {"stall_after_setup", "udp", StallAt("PLAY"), 12000},
    {"stall_in_play_answer", "udp", StallAt("PLAY", "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSess"), 12000},
    {"stall_after_setup_interleaved", "tcp", StallAt("PLAY"), 15000},
    {"closes_at_once", "udp", [](CameraConnection& c, unsigned) { c.Close(); }, 5000},
    {"random_bytes", "udp", AnswerWith([](const std::string&, std::mt19937& r) { return RandomBytes(r, 700); }),
     12000},
    {"endless_header_line", "udp", AnswerWith([](const std::string&, std::mt19937&) { return std::string(1 << 20, 'A'); }),
     8000},
    {"http_answer", "udp",
     AnswerWith([](const std::string&, std::mt19937&) { return std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"); }),
     15000},
    {"huge_content_length", "udp",
     AnswerWith([](const std::string& q, std::mt19937& r) {
       return "RTSP/1.0 200 OK\r\nCSeq: " + CameraConnection::CSeqOf(q) + "\r\nContent-Length: 4294967295\r\n\r\n" +
              RandomBytes(r, 300);
     }),
     12000},
    {"garbage_sdp", "udp",
     AnswerWith([](const std::string& q, std::mt19937& r) {
       std::string sdp = "v=0\r\nm=video 99999999999 RTP/AVP 96 97 98\r\na=rtpmap:96\r\na=rtpmap:\r\na=fmtp:96 "
                         "sprop-parameter-sets=!!!!,====;profile-level-id=zz\r\na=control:\r\nm=\r\n" +
                         RandomBytes(r, 200);
       return "RTSP/1.0 200 OK\r\nCSeq: " + CameraConnection::CSeqOf(q) + "\r\nContent-Base: \r\nSession: ;timeout=" +
              "\r\nTransport: ;;;=\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
     }),
     12000},
    {"interleaved_junk", "tcp", InterleavedJunk, 15000, true},
};

class ServerFaults : public testing::TestWithParam<ServerCase> {};

TEST_P(ServerFaults, DriverRetriesStaysBoundedAndClosesAtOnce) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  const ServerCase& c = GetParam();
  UseTransport(c.transport);
  const size_t threads = ThreadCount();
  const size_t rss = ResidentBytes();
  double closeMs = -1;
  {
    MisbehavingCamera server(c.behaviour);
    ASSERT_NE(server.Port(), 0);
    FaultSink sink;
    HostDevice host;
    ASSERT_TRUE(host.Open("127.0.0.1:" + std::to_string(server.Port())));
    ASSERT_TRUE(host.OpenChannel(&sink));
    const Clock::time_point opened = Clock::now();
    EXPECT_TRUE(WaitUntil([&] { return server.Connections() >= 2; }, std::chrono::milliseconds(c.retryWithinMs)))
        << "connections: " << server.Connections() << "\n" << host.LogText();
    Figure(std::string("server_") + c.name + "_retry_ms",
           std::chrono::duration<double, std::milli>(Clock::now() - opened).count(), "ms");
    // Close while the server is in the middle of its misbehaviour.
    closeMs = host.CloseChannel();
    EXPECT_GE(closeMs, 0);
    EXPECT_LT(closeMs, 3000);
    if (!c.framesPossible) {
      EXPECT_EQ(sink.Frames(), 0u);
    }
    // One line per outage, not one per retry.
    EXPECT_LT(host.Log().Logs().Lines().size(), 20u) << host.LogText();
    host.Close();
  }
  Figure(std::string("server_") + c.name + "_close_ms", closeMs, "ms");
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }, 3s)) << ThreadCount() - threads << " threads left";
  if (!UnderAddressSanitizer()) {
    EXPECT_LT(ResidentBytes(), rss + 64u * 1024 * 1024);
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerFaults, testing::ValuesIn(kServerCases),
                         [](const testing::TestParamInfo<ServerCase>& info) { return info.param.name; });

}  // namespace
}  // namespace faults
