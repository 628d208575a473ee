#include "support/tcp_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/loopback_listener.h"

namespace telvora {
namespace test {
namespace {

void Drain(int fd) {
  char buffer[64];
  while (read(fd, buffer, sizeof(buffer)) > 0) {
  }
}

void Wake(int fd) { (void)!write(fd, "x", 1); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool SendAll(int socket, const std::string& bytes) {
  const char* data = bytes.data();
  size_t length = bytes.size();
  while (length > 0) {
    const ssize_t n = send(socket, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

TcpProxy::TcpProxy(uint16_t upstreamPort, Hooks hooks) : m_upstreamPort(upstreamPort), m_hooks(std::move(hooks)) {
  if (pipe2(m_stopPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  m_listener = ListenOnLoopback(0, &m_port);
  if (m_listener < 0) {
    m_port = 0;
    return;
  }
  m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TcpProxy::~TcpProxy() {
  m_stop = true;
  if (m_stopPipe[1] >= 0) Wake(m_stopPipe[1]);
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::vector<std::unique_ptr<ProxyLink>> links;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    links.swap(m_links);
  }
  for (auto& link : links) {
    Wake(link->wake[1]);
    if (link->thread.joinable()) link->thread.join();
    close(link->wake[0]);
    close(link->wake[1]);
  }
  if (m_listener >= 0) close(m_listener);
  for (int fd : m_stopPipe)
    if (fd >= 0) close(fd);
}

void TcpProxy::ResetAll() {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& link : m_links) {
    if (link->client < 0) continue;
    link->reset = true;
    Wake(link->wake[1]);
  }
}

void TcpProxy::Stall(std::chrono::milliseconds duration) { m_stallUntilMs = NowMs() + duration.count(); }

void TcpProxy::AcceptLoop() {
  while (!m_stop) {
    pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (poll(fds, 2, 1000) <= 0) continue;
    if (fds[1].revents != 0) break;
    const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    int server = -1;
    if (m_upstreamPort != 0) {
      server = ConnectToLoopback(m_upstreamPort);
      if (server < 0) {
        CloseWithReset(client);
        continue;
      }
    }
    auto link = std::make_unique<ProxyLink>();
    if (pipe2(link->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
      if (server >= 0) close(server);
      close(client);
      continue;
    }
    link->client = client;
    link->server = server;
    link->index = ++m_connections;
    ProxyLink* raw = link.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_links.push_back(std::move(link));
    raw->thread = std::thread([this, raw] { Serve(raw); });
  }
}

void TcpProxy::Serve(ProxyLink* link) {
  if (m_hooks.handler)
    m_hooks.handler(*link);
  else
    Pump(link);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (link->reset) {
    ++m_resets;
    CloseWithReset(link->client);
    CloseWithReset(link->server);
  } else {
    close(link->client);
    if (link->server >= 0) close(link->server);
  }
  link->client = -1;
  link->server = -1;
}

void TcpProxy::Pump(ProxyLink* link) {
  std::string fromClient, fromServer;
  char buffer[65536];
  const auto pass = [](const Filter& filter, ProxyLink& to, std::string& pending, bool toServer) {
    if (filter) return filter(to, pending);
    const bool sent = toServer ? to.ToServer(pending) : to.ToClient(pending);
    pending.clear();
    return sent;
  };
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
      if (n <= 0) break;
      fromClient.append(buffer, static_cast<size_t>(n));
      open = pass(m_hooks.fromClient, *link, fromClient, true);
    }
    if (open && fds[1].revents != 0) {
      const ssize_t n = recv(link->server, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      fromServer.append(buffer, static_cast<size_t>(n));
      open = pass(m_hooks.fromServer, *link, fromServer, false);
    }
  }
}

}  // namespace test
}  // namespace telvora
