#include "tcp_fault_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "support/loopback_listener.h"

namespace faults {
namespace {

void Drain(int fd) {
  char buffer[64];
  while (read(fd, buffer, sizeof(buffer)) > 0) {
  }
}

bool SendAll(int socket, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = send(socket, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void Abort(int socket) {
  if (socket < 0) return;
  linger hard{1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  close(socket);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TcpFaultProxy::TcpFaultProxy(uint16_t upstreamPort) : m_upstreamPort(upstreamPort) {
  if (pipe2(m_stopPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  m_listener = telvora::test::ListenOnLoopback(0, &m_port);
  if (m_listener < 0) return;
  m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TcpFaultProxy::~TcpFaultProxy() {
  m_stop = true;
  if (m_stopPipe[1] >= 0) (void)!write(m_stopPipe[1], "x", 1);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::vector<std::unique_ptr<Link>> links;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    links.swap(m_links);
  }
  for (auto& link : links) {
    (void)!write(link->wake[1], "x", 1);
    if (link->thread.joinable()) link->thread.join();
    close(link->wake[0]);
    close(link->wake[1]);
  }
  if (m_listener >= 0) close(m_listener);
  for (int fd : m_stopPipe)
    if (fd >= 0) close(fd);
}

void TcpFaultProxy::ResetAll() {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& link : m_links) {
    if (link->client < 0) continue;
    link->reset = true;
    (void)!write(link->wake[1], "x", 1);
  }
}

std::vector<std::string> TcpFaultProxy::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t TcpFaultProxy::Count(const std::string& method) const {
  size_t n = 0;
  for (const std::string& request : Requests())
    if (request.compare(0, method.size() + 1, method + " ") == 0) ++n;
  return n;
}

void TcpFaultProxy::AcceptLoop() {
  while (!m_stop) {
    pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (poll(fds, 2, 1000) <= 0) continue;
    if (fds[1].revents != 0) break;
    const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int server = telvora::test::ConnectToLoopback(m_upstreamPort);
    if (server < 0) {
      // What a camera behind a dead link looks like: the connection is refused.
      Abort(client);
      continue;
    }
    auto link = std::make_unique<Link>();
    if (pipe2(link->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
      close(server);
      close(client);
      continue;
    }
    link->client = client;
    link->server = server;
    ++m_connections;
    Link* raw = link.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_links.push_back(std::move(link));
    raw->thread = std::thread([this, raw] { Pump(raw); });
  }
}

bool TcpFaultProxy::ForwardRequests(std::string& pending, int server) {
  for (;;) {
    if (pending.empty()) return true;
    // Interleaved data from the client goes through untouched.
    if (pending[0] == '$') {
      const bool sent = SendAll(server, pending.data(), pending.size());
      pending.clear();
      return sent;
    }
    const size_t end = pending.find("\r\n\r\n");
    if (end == std::string::npos) return pending.size() < 65536 || SendAll(server, pending.data(), pending.size());
    const std::string request = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(request);
    }
    const std::string out = m_rewriter ? m_rewriter(request) : request;
    if (!SendAll(server, out.data(), out.size())) return false;
  }
}

void TcpFaultProxy::Stall(std::chrono::milliseconds duration) { m_stallUntilMs = NowMs() + duration.count(); }

void TcpFaultProxy::Pump(Link* link) {
  std::string pending;
  char buffer[16384];
  bool open = true;
  while (open && !m_stop && !link->reset) {
    if (NowMs() < m_stallUntilMs.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    pollfd fds[3] = {{link->client, POLLIN, 0}, {link->server, POLLIN, 0}, {link->wake[0], POLLIN, 0}};
    if (poll(fds, 3, 1000) <= 0) continue;
    if (fds[2].revents != 0) Drain(link->wake[0]);
    if (fds[0].revents != 0) {
      const ssize_t n = recv(link->client, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        open = false;
      } else {
        pending.append(buffer, static_cast<size_t>(n));
        open = ForwardRequests(pending, link->server);
      }
    }
    if (open && fds[1].revents != 0) {
      const ssize_t n = recv(link->server, buffer, sizeof(buffer), 0);
      open = n > 0 && SendAll(link->client, buffer, static_cast<size_t>(n));
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (link->reset) {
    ++m_resets;
    Abort(link->client);
    Abort(link->server);
  } else {
    close(link->client);
    close(link->server);
  }
  link->client = -1;
  link->server = -1;
}

}  // namespace faults
