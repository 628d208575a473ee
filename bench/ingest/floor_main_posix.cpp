// ingest-floor: receives the benchmark's datagrams and does nothing with
// them, to show what the receive alone costs on this machine beside the
// real receivers.
//   --mode thread  one thread per port blocked in recv: a wake per datagram,
//                  as Orvalen's UDP clients (one thread per stream) take them
//   --mode epoll   one thread for every port, draining each readable socket
//                  before it waits again
// Counts frames by the RTP marker bit. On SIGINT or SIGTERM it stops and
// writes "frames N" to DIR/floor.txt. DIR/ready appears once all ports are
// bound.
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<unsigned long long> g_frames{0};

void OnSignal(int) { g_stop.store(true); }

void Count(const unsigned char* data, ssize_t n) {
  if (n >= 12 && (data[1] & 0x80) != 0) g_frames.fetch_add(1, std::memory_order_relaxed);
}

// The same receive buffer size as Orvalen's UDP client asks for.
int Bind(long port) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  const int size = 0xFFFF;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  // A stop is noticed within this.
  timeval timeout{0, 200000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

void ReceiveOne(int s) {
  std::vector<unsigned char> buffer(65536);
  while (!g_stop.load(std::memory_order_relaxed)) Count(buffer.data(), recv(s, buffer.data(), buffer.size(), 0));
}

void ReceiveAll(const std::vector<int>& sockets) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return;
  for (size_t i = 0; i < sockets.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = sockets[i];
    epoll_ctl(ep, EPOLL_CTL_ADD, sockets[i], &event);
  }
  std::vector<unsigned char> buffer(65536);
  std::vector<epoll_event> ready(64);
  while (!g_stop.load(std::memory_order_relaxed)) {
    const int n = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), 200);
    for (int i = 0; i < n; ++i) {
      ssize_t got;
      while ((got = recv(ready[i].data.fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0) Count(buffer.data(), got);
    }
  }
  close(ep);
}

}  // namespace

int main(int argc, char** argv) {
  long basePort = 0, streams = 0;
  std::string out, mode = "thread";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--base-port") basePort = std::atol(argv[i + 1]);
    else if (name == "--streams") streams = std::atol(argv[i + 1]);
    else if (name == "--out") out = argv[i + 1];
    else if (name == "--mode") mode = argv[i + 1];
  }
  if (basePort <= 0 || streams <= 0 || out.empty() || (mode != "thread" && mode != "epoll")) {
    std::fprintf(stderr, "usage: ingest-floor --base-port P --streams N --out DIR [--mode thread|epoll]\n");
    return 2;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::vector<int> sockets;
  for (long i = 0; i < streams; ++i) {
    const int s = Bind(basePort + 2 * i);
    if (s < 0) {
      std::fprintf(stderr, "ingest-floor: cannot bind port %ld\n", basePort + 2 * i);
      return 1;
    }
    sockets.push_back(s);
  }
  std::vector<std::thread> threads;
  if (mode == "epoll") {
    threads.emplace_back(ReceiveAll, sockets);
  } else {
    for (int s : sockets) threads.emplace_back(ReceiveOne, s);
  }
  { std::ofstream ready(out + "/ready"); ready << "bound\n"; }
  for (std::thread& t : threads) t.join();
  for (int s : sockets) close(s);
  std::ofstream results(out + "/floor.txt");
  results << "frames " << g_frames.load() << "\n";
  return 0;
}
