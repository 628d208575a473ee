// A TCP proxy on 127.0.0.1 for the fault and camera-quirk suites: it accepts
// connections, connects each to an upstream port, and passes the bytes both
// ways through hooks that may rewrite, hold back or end them. Without an
// upstream it is a server whose handler answers each connection itself.
// Each connection has a thread of its own; the destructor ends them all.
// POSIX only.
#pragma once

#include <any>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace telvora {
namespace test {

// Writes all of bytes to a socket; false when the peer is gone.
bool SendAll(int socket, const std::string& bytes);

// One connection the proxy carries.
struct ProxyLink {
  int client = -1;
  int server = -1;     // -1 without an upstream
  unsigned index = 0;  // 1 for the first connection
  std::any state;      // whatever the hooks keep per connection
  bool ToClient(const std::string& bytes) const { return SendAll(client, bytes); }
  bool ToServer(const std::string& bytes) const { return SendAll(server, bytes); }

  int wake[2] = {-1, -1};
  std::atomic<bool> reset{false};
  std::thread thread;
};

class TcpProxy {
 public:
  // Sees the bytes read from one side, appended to what the last call left
  // in pending; sends on what is whole and leaves the rest. false ends the
  // connection. Without a filter the bytes pass as they come.
  using Filter = std::function<bool(ProxyLink& link, std::string& pending)>;
  // Serves a connection instead of the pump (the proxy without upstream).
  using Handler = std::function<void(ProxyLink& link)>;
  struct Hooks {
    Filter fromClient;
    Filter fromServer;
    Handler handler;
  };

  // upstreamPort 0: no upstream, hooks.handler serves each connection. A
  // refused upstream resets the client, as a camera behind a dead link.
  TcpProxy(uint16_t upstreamPort, Hooks hooks);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  // 0 when the listener could not be opened.
  uint16_t Port() const { return m_port; }
  unsigned Connections() const { return m_connections.load(); }
  // Connections ended by ResetAll.
  unsigned Resets() const { return m_resets.load(); }
  // Resets every connection open now (SO_LINGER 0, so both peers see an
  // RST); later connections are carried again.
  void ResetAll();
  // Passes no byte either way for this long; the connections stay open.
  void Stall(std::chrono::milliseconds duration);
  // Set while the destructor runs; handlers end when they see it.
  const std::atomic<bool>& Stopping() const { return m_stop; }

 private:
  void AcceptLoop();
  void Serve(ProxyLink* link);
  void Pump(ProxyLink* link);

  uint16_t m_upstreamPort;
  Hooks m_hooks;
  uint16_t m_port = 0;
  int m_listener = -1;
  int m_stopPipe[2] = {-1, -1};
  std::atomic<bool> m_stop{false};
  std::atomic<unsigned> m_connections{0};
  std::atomic<unsigned> m_resets{0};
  std::atomic<int64_t> m_stallUntilMs{0};  // steady clock
  std::thread m_acceptThread;
  std::mutex m_mutex;
  std::vector<std::unique_ptr<ProxyLink>> m_links;
};

}  // namespace test
}  // namespace telvora
