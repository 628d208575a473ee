#include "rtsp_server_posix.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "rtsp/base64.h"

namespace ingest {

namespace {

// What one connection may hold back for a receiver that reads too slowly:
// some 300 ms of a 4 Mbit/s stream with room for a large key frame.
constexpr size_t kMaxQueuedBytes = 2 << 20;
// A request larger than this is not one the receivers send.
constexpr size_t kMaxRequestBytes = 64 << 10;
constexpr size_t kMaxConnectionsPerStream = 4;

std::string Base64(const uint8_t* data, size_t length) {
  std::string out;
  telvora::Base64Encode(data, length, 0, out);
  return out;
}

// The value of a header of a request, "" when absent.
std::string Header(const std::string& request, const std::string& name) {
  std::string lower(request);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
  const size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return std::string();
  size_t begin = at + 3 + name.size();
  const size_t end = request.find("\r\n", begin);
  while (begin < end && request[begin] == ' ') ++begin;
  return request.substr(begin, end - begin);
}

}  // namespace

struct InterleavedServer::Connection {
  int fd = -1;
  size_t stream = 0;
  bool setUp = false;
  std::string session;
  std::string in;  // the serving thread's only
  std::mutex lock;  // guards fd for writing, out and outStart
  std::vector<uint8_t> out;
  size_t outStart = 0;
  std::atomic<bool> queued{false};

  // With the lock held. Writes what is queued, then head and body, or
  // queues their rest; false when the connection is gone or, with mayDrop,
  // its queue is full.
  bool Write(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength, bool mayDrop,
             std::atomic<uint64_t>* dropped) {
    if (fd < 0) return false;
    if (!Flush()) return false;
    const size_t total = headLength + bodyLength;
    size_t written = 0;
    if (out.size() == outStart) {
      iovec parts[2] = {{const_cast<uint8_t*>(head), headLength}, {const_cast<uint8_t*>(body), bodyLength}};
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = bodyLength > 0 ? 2 : 1;
      const ssize_t n = sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      written = n > 0 ? static_cast<size_t>(n) : 0;
      if (written == total) return true;
    } else if (mayDrop && out.size() - outStart + total > kMaxQueuedBytes) {
      dropped->fetch_add(1);
      return false;
    }
    // Packets are queued whole or not at all, so the framing stays intact.
    if (outStart > 0 && outStart == out.size()) {
      out.clear();
      outStart = 0;
    }
    for (size_t i = written; i < headLength; ++i) out.push_back(head[i]);
    const size_t fromBody = written > headLength ? written - headLength : 0;
    out.insert(out.end(), body + fromBody, body + bodyLength);
    queued.store(true);
    return true;
  }

  // With the lock held: false when the connection failed.
  bool Flush() {
    while (outStart < out.size()) {
      const ssize_t n = send(fd, out.data() + outStart, out.size() - outStart, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      outStart += static_cast<size_t>(n);
    }
    out.clear();
    outStart = 0;
    queued.store(false);
    return true;
  }
};

struct InterleavedServer::Slot {
  std::mutex lock;
  std::shared_ptr<Connection> playing;
};

InterleavedServer::InterleavedServer(const std::vector<StreamPlan>& plan)
    : m_plan(plan), m_slots(new Slot[plan.size()]) {
  for (const StreamPlan& p : m_plan) m_sdp.push_back(Sdp(*p.clip));
}

InterleavedServer::~InterleavedServer() { Stop(); }

std::string InterleavedServer::Sdp(const Clip& clip) {
  std::string sps, pps;
  for (const ClipFrame& frame : clip.frames) {
    if (!frame.key) continue;
    auto take = [&sps, &pps](const uint8_t* nal, size_t size) {
      const int type = size > 0 ? nal[0] & 0x1F : 0;
      if (type == 7 && sps.empty()) sps = Base64(nal, size);
      if (type == 8 && pps.empty()) pps = Base64(nal, size);
    };
    for (const std::vector<uint8_t>& packet : frame.packets) {
      if (packet.size() <= 12) continue;
      const uint8_t* payload = packet.data() + 12;
      const size_t size = packet.size() - 12;
      if ((payload[0] & 0x1F) != 24) {
        take(payload, size);
        continue;
      }
      for (size_t at = 1; at + 2 <= size;) {
        const size_t length = size_t(payload[at]) << 8 | payload[at + 1];
        if (at + 2 + length > size) break;
        take(payload + at + 2, length);
        at += 2 + length;
      }
    }
    break;
  }
  std::string fmtp = "packetization-mode=1";
  if (!sps.empty() && !pps.empty()) fmtp += ";sprop-parameter-sets=" + sps + "," + pps;
  return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=ingest\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
         "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 " +
         fmtp + "\r\na=control:trackID=0\r\n";
}

bool InterleavedServer::Start(std::string* error) {
  for (const StreamPlan& p : m_plan) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    const int on = 1;
    if (s >= 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(p.port);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 || listen(s, 16) != 0) {
      *error = "cannot listen on TCP port " + std::to_string(p.port);
      if (s >= 0) close(s);
      Stop();
      return false;
    }
    m_listeners.push_back(s);
  }
  m_stop.store(false);
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void InterleavedServer::Stop() {
  m_stop.store(true);
  if (m_thread.joinable()) m_thread.join();
  while (!m_connections.empty()) Close(m_connections.back());
  for (int s : m_listeners) close(s);
  m_listeners.clear();
}

size_t InterleavedServer::Playing() const {
  size_t n = 0;
  for (size_t i = 0; i < m_plan.size(); ++i) {
    std::lock_guard<std::mutex> hold(m_slots[i].lock);
    if (m_slots[i].playing) ++n;
  }
  return n;
}

bool InterleavedServer::Send(size_t stream, const uint8_t* packet, size_t length) {
  std::shared_ptr<Connection> c;
  {
    std::lock_guard<std::mutex> hold(m_slots[stream].lock);
    c = m_slots[stream].playing;
  }
  if (!c || length > 0xFFFF) return false;
  const uint8_t head[4] = {'$', 0, uint8_t(length >> 8), uint8_t(length)};
  std::lock_guard<std::mutex> hold(c->lock);
  return c->Write(head, sizeof(head), packet, length, true, &m_dropped);
}

void InterleavedServer::Serve() {
  prctl(PR_SET_NAME, "ingest-rtsp", 0, 0, 0);
  std::vector<pollfd> fds;
  while (!m_stop.load()) {
    fds.clear();
    for (int s : m_listeners) fds.push_back({s, POLLIN, 0});
    for (const auto& c : m_connections)
      fds.push_back({c->fd, short(POLLIN | (c->queued.load() ? POLLOUT : 0)), 0});
    // A short wait, so that Stop is seen soon.
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;
    for (size_t i = 0; i < m_listeners.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      const int fd = accept4(m_listeners[i], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) continue;
      size_t open = 0;
      for (const auto& c : m_connections) open += c->stream == i ? 1 : 0;
      if (open >= kMaxConnectionsPerStream) {
        close(fd);
        continue;
      }
      // Small packets go out at once: a frame's last one must not wait for an ACK.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      auto c = std::make_shared<Connection>();
      c->fd = fd;
      c->stream = i;
      m_connections.push_back(c);
    }
    // Connections accepted in this round are not in fds yet.
    const size_t polled = fds.size() - m_listeners.size();
    std::vector<std::shared_ptr<Connection>> current(m_connections.begin(), m_connections.begin() + polled);
    for (size_t k = 0; k < current.size(); ++k) {
      const std::shared_ptr<Connection>& c = current[k];
      const short events = fds[m_listeners.size() + k].revents;
      if (events & POLLOUT) {
        std::lock_guard<std::mutex> hold(c->lock);
        c->Flush();
      }
      if ((events & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      const ssize_t n = recv(c->fd, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close(c);
        continue;
      }
      if (n > 0) {
        c->in.append(buffer, static_cast<size_t>(n));
        HandleInput(c);
      }
    }
  }
}

void InterleavedServer::HandleInput(const std::shared_ptr<Connection>& c) {
  while (!c->in.empty()) {
    if (c->in[0] == '$') {  // the receiver's RTCP: read and dropped
      if (c->in.size() < 4) return;
      const size_t length = size_t(uint8_t(c->in[2])) << 8 | uint8_t(c->in[3]);
      if (c->in.size() < 4 + length) return;
      c->in.erase(0, 4 + length);
      continue;
    }
    const size_t end = c->in.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (c->in.size() > kMaxRequestBytes) Close(c);
      return;
    }
    const std::string head = c->in.substr(0, end + 2);
    const size_t body = static_cast<size_t>(std::strtoul(Header(head, "content-length").c_str(), nullptr, 10));
    if (body > kMaxRequestBytes) {
      Close(c);
      return;
    }
    if (c->in.size() < end + 4 + body) return;
    c->in.erase(0, end + 4 + body);
    if (!Answer(c, head)) {
      Close(c);
      return;
    }
  }
}

bool InterleavedServer::Answer(const std::shared_ptr<Connection>& c, const std::string& request) {
  const std::string method = request.substr(0, request.find(' '));
  const size_t stream = c->stream;
  std::string status = "200 OK", extra, body;
  if (method == "OPTIONS") {
    extra = "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN\r\n";
  } else if (method == "DESCRIBE") {
    extra = "Content-Base: rtsp://127.0.0.1:" + std::to_string(m_plan[stream].port) +
            "/stream/\r\nContent-Type: application/sdp\r\n";
    body = m_sdp[stream];
  } else if (method == "SETUP") {
    const std::string transport = Header(request, "transport");
    if (transport.find("interleaved=0-1") == std::string::npos) {
      status = "461 Unsupported Transport";
    } else {
      c->setUp = true;
      char id[32];
      std::snprintf(id, sizeof(id), "%08X", unsigned(0x5E550000u + stream * 64 + (rand() & 63)));
      c->session = id;
      extra = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
    }
  } else if (method == "PLAY") {
    if (!c->setUp) status = "455 Method Not Valid in This State";
    else extra = "Range: npt=0.000-\r\n";
  } else if (method == "TEARDOWN") {
    std::lock_guard<std::mutex> hold(m_slots[stream].lock);
    if (m_slots[stream].playing == c) m_slots[stream].playing.reset();
    c->setUp = false;
  } else if (method != "GET_PARAMETER") {
    status = "501 Not Implemented";
  }
  if (!c->session.empty()) extra += "Session: " + c->session + ";timeout=60\r\n";
  const std::string answer = "RTSP/1.0 " + status + "\r\nCSeq: " + Header(request, "cseq") + "\r\n" + extra +
                             (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
                             "\r\n" + body;
  {
    std::lock_guard<std::mutex> hold(c->lock);
    if (!c->Write(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), nullptr, 0, false, &m_dropped))
      return false;
  }
  // Published after the answer is written, so that it comes before the first packet.
  if (method == "PLAY" && c->setUp) {
    std::lock_guard<std::mutex> hold(m_slots[stream].lock);
    m_slots[stream].playing = c;
  }
  return true;
}

void InterleavedServer::Close(const std::shared_ptr<Connection>& c) {
  const std::shared_ptr<Connection> keep = c;  // c may refer to an element erased below
  {
    std::lock_guard<std::mutex> hold(m_slots[keep->stream].lock);
    if (m_slots[keep->stream].playing == keep) m_slots[keep->stream].playing.reset();
  }
  {
    std::lock_guard<std::mutex> hold(keep->lock);
    if (keep->fd >= 0) close(keep->fd);
    keep->fd = -1;
  }
  m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), keep), m_connections.end());
}

}  // namespace ingest
