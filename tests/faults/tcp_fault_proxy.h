// A TCP proxy on 127.0.0.1 between the driver and an RTSP server. It passes
// bytes both ways, lets a test rewrite each request the client sends (for
// instance the client ports of SETUP), records the requests, and can reset
// every connection it carries (SO_LINGER 0, so both peers see an RST).
// Each connection has a thread of its own; the destructor ends them all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace faults {

class TcpFaultProxy {
 public:
  using Rewriter = std::function<std::string(const std::string& request)>;

  explicit TcpFaultProxy(uint16_t upstreamPort);
  ~TcpFaultProxy();
  TcpFaultProxy(const TcpFaultProxy&) = delete;
  TcpFaultProxy& operator=(const TcpFaultProxy&) = delete;

  // 0 when the listener could not be opened.
  uint16_t Port() const { return m_port; }
  // Applied to every whole request (up to its empty line) before it goes
  // upstream. Set before the first connection.
  void SetRewriter(Rewriter rewriter) { m_rewriter = std::move(rewriter); }
  // Resets every connection open now; later connections are carried again.
  void ResetAll();
  // Passes no byte either way for this long; the connections stay open.
  void Stall(std::chrono::milliseconds duration);
  unsigned Connections() const { return m_connections.load(); }
  unsigned Resets() const { return m_resets.load(); }
  // Every request as the client sent it, before rewriting.
  std::vector<std::string> Requests() const;
  size_t Count(const std::string& method) const;

 private:
  struct Link {
    int client = -1;
    int server = -1;
    int wake[2] = {-1, -1};
    std::atomic<bool> reset{false};
    std::thread thread;
  };
  void AcceptLoop();
  void Pump(Link* link);
  bool ForwardRequests(std::string& pending, int server);

  uint16_t m_upstreamPort;
  uint16_t m_port = 0;
  int m_listener = -1;
  int m_stopPipe[2] = {-1, -1};
  Rewriter m_rewriter;
  std::atomic<bool> m_stop{false};
  std::atomic<unsigned> m_connections{0};
  std::atomic<unsigned> m_resets{0};
  std::atomic<int64_t> m_stallUntilMs{0};  // steady clock
  std::thread m_acceptThread;
  mutable std::mutex m_mutex;
  std::vector<std::unique_ptr<Link>> m_links;
  std::vector<std::string> m_requests;
};

}  // namespace faults
