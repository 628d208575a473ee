// Packets per second from a loopback sender through the UDP client and the
// receive queue to the user, beside a bare recvfrom loop in the same run.
// 1400-byte payloads on one stream. The sender keeps at most kWindow
// packets in flight, so that both sides are measured without socket loss.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "rtp/rtp_receiver.h"
#include "rtp/udp_client.h"
#include "support/fake_driver.h"

namespace {

using telvora::CRTPPacket;
using telvora::CRTPReceiver;

constexpr size_t kPayload = 1400;
constexpr uint64_t kPacketsPerIteration = 20000;
constexpr uint64_t kWindow = 32;

double g_barePerSecond = 0;
double g_queuePerSecond = 0;

std::vector<uint8_t> MakePacket(uint16_t sequence) {
  std::vector<uint8_t> p(12 + kPayload, 0x5A);
  p[0] = 0x80;
  p[1] = 96;
  p[2] = static_cast<uint8_t>(sequence >> 8);
  p[3] = static_cast<uint8_t>(sequence);
  return p;
}

// Sends count packets to the port, never more than kWindow ahead of what the
// receiving side has counted; it tops the window up in a burst once half of
// it has drained, and sleeps in between. A stalled window (a lost datagram) moves on
// after 200 ms. Returns how many were sent.
uint64_t SendWindowed(unsigned short port, uint64_t count, const std::atomic<uint64_t>& received, uint64_t base) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in to;
  std::memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr("127.0.0.1");
  to.sin_port = htons(port);
  std::vector<uint8_t> packet = MakePacket(0);
  uint64_t sent = 0;
  uint64_t allowance = 0;  // lost packets we stopped waiting for
  while (sent < count) {
    auto lastProgress = std::chrono::steady_clock::now();
    uint64_t seen = received.load() - base;
    while (sent - seen - allowance > kWindow / 2) {
      // Sleeping, not spinning: on a small machine a spinning sender would
      // take a core from the threads being measured.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
      const uint64_t now = received.load() - base;
      if (now != seen) {
        seen = now;
        lastProgress = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - lastProgress > std::chrono::milliseconds(200)) {
        allowance = sent - seen;
      }
    }
    const uint64_t inFlight = sent - seen - allowance;
    for (uint64_t i = inFlight; i < kWindow && sent < count; ++i, ++sent) {
      packet[2] = static_cast<uint8_t>(sent >> 8);
      packet[3] = static_cast<uint8_t>(sent);
      telvora::platform::SendSomeTo(s, packet.data(), static_cast<int>(packet.size()),
                                    reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
  }
  closesocket(s);
  return sent;
}

void BM_BareRecvfrom(benchmark::State& state) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  int size = 0xFFFF;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  telvora::platform::SetReceiveTimeout(s, 200);
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof(local);
  bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
  getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
  const unsigned short port = ntohs(local.sin_port);

  std::atomic<uint64_t> received{0};
  uint64_t total = 0;
  std::vector<uint8_t> buffer(1536);
  for (auto _ : state) {
    const uint64_t base = received.load();
    std::thread sender([&] { SendWindowed(port, kPacketsPerIteration, received, base); });
    uint64_t got = 0;
    int idle = 0;
    while (got < kPacketsPerIteration && idle < 2) {
      sockaddr_in from;
      socklen_t fromLength = sizeof(from);
      const int n = recvfrom(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n > 0) {
        ++got;
        received.fetch_add(1);
        idle = 0;
      } else {
        ++idle;
      }
    }
    sender.join();
    total += got;
  }
  closesocket(s);
  state.SetItemsProcessed(static_cast<int64_t>(total));
  state.counters["lost"] = static_cast<double>(state.iterations() * kPacketsPerIteration - total);
}

class CountingUser : public telvora::IRTPReceiverUser {
 public:
  void PacketReceived(const sockaddr*, CRTPPacket& packet) override {
    benchmark::DoNotOptimize(packet.GetPayload());
    m_count.fetch_add(1);
  }
  void ReceiverTimeout() override {}
  void ReceiverClosed() override {}
  std::atomic<uint64_t> m_count{0};
};

void BM_ClientQueueUser(benchmark::State& state) {
  telvora::test::FakeDriver log;
  CountingUser user;
  CRTPReceiver receiver(&log);
  receiver.SetUser(&user);
  if (!receiver.Open(false, 0)) {
    state.SkipWithError("receiver did not open");
    return;
  }
  const unsigned short port = receiver.GetPort();
  uint64_t total = 0;
  for (auto _ : state) {
    const uint64_t base = user.m_count.load();
    SendWindowed(port, kPacketsPerIteration, user.m_count, base);
    // Let the last window arrive (or time out as lost).
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (user.m_count.load() - base < kPacketsPerIteration && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    total += user.m_count.load() - base;
  }
  receiver.Close();
  state.SetItemsProcessed(static_cast<int64_t>(total));
  state.counters["lost"] = static_cast<double>(state.iterations() * kPacketsPerIteration - total);
  state.counters["dropped_by_queue"] = static_cast<double>(receiver.GetDroppedPackets());
}

// The UDP client alone, to tell its share from the queue's.
class CountingClientUser : public telvora::IRTPClientUser {
 public:
  void DataReceived(telvora::IRTPClient*, const sockaddr*, const unsigned char* data, int) override {
    benchmark::DoNotOptimize(data);
    m_count.fetch_add(1);
  }
  void ReceiveTimeout(telvora::IRTPClient*) override {}
  void ClientClosed(telvora::IRTPClient*) override {}
  std::atomic<uint64_t> m_count{0};
};

void BM_ClientOnly(benchmark::State& state) {
  telvora::test::FakeDriver log;
  CountingClientUser user;
  telvora::CUDPClient client(&log);
  client.SetBufferSize(1536);
  if (!client.Open(&user, 0)) {
    state.SkipWithError("client did not open");
    return;
  }
  uint64_t total = 0;
  for (auto _ : state) {
    const uint64_t base = user.m_count.load();
    SendWindowed(client.GetPort(), kPacketsPerIteration, user.m_count, base);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (user.m_count.load() - base < kPacketsPerIteration && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    total += user.m_count.load() - base;
  }
  client.Close();
  state.SetItemsProcessed(static_cast<int64_t>(total));
}

BENCHMARK(BM_BareRecvfrom)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ClientOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ClientQueueUser)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it == run.counters.end()) continue;
      if (run.benchmark_name().find("BM_BareRecvfrom") != std::string::npos) g_barePerSecond = it->second;
      if (run.benchmark_name().find("BM_ClientQueueUser") != std::string::npos) g_queuePerSecond = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (g_barePerSecond > 0 && g_queuePerSecond > 0)
    std::printf("client+queue+user / bare recvfrom: %.0f / %.0f packets/s = %.2f\n", g_queuePerSecond,
                g_barePerSecond, g_queuePerSecond / g_barePerSecond);
  return 0;
}
