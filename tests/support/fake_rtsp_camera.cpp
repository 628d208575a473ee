#include "support/fake_rtsp_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/loopback_listener.h"
#include "support/scripted_rtsp_server.h"
#include "support/wait_until.h"

namespace telvora {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxPending = 4u * 1024u * 1024u;
constexpr unsigned kMaxConnections = 200;

std::string HeaderValue(const std::string& request, const std::string& name) {
  const std::string key = "\r\n" + name + ":";
  const size_t at = request.find(key);
  if (at == std::string::npos) return std::string();
  size_t begin = at + key.size();
  while (begin < request.size() && request[begin] == ' ') ++begin;
  const size_t end = request.find("\r\n", begin);
  return request.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace

struct FakeRtspCamera::SessionState {
  bool playing = false;
  bool interleaved = false;
  uint8_t rtpChannel = 0;
  uint16_t clientPort = 0;
  int udp = -1;
  size_t at = 0;
  uint16_t sequence = 1;
  uint32_t timestamp = 90000;
  Clock::time_point lastRequest = Clock::now();
  Clock::time_point nextFrame = Clock::now();
  std::string input;
  std::string pending;  // bytes for the TCP connection not yet written
  unsigned byes = 0;     // goodbyes sent
};

FakeRtspCamera::FakeRtspCamera(FakeCameraOptions options) : m_options(std::move(options)), m_listener(-1), m_port(0) {
  uint16_t port = 0;
  const int s = test::ListenOnLoopback(m_options.port, &port);
  if (s < 0) return;
  m_listener = s;
  m_port = port;
  m_acceptThread = std::thread(&FakeRtspCamera::AcceptLoop, this);
}

FakeRtspCamera::~FakeRtspCamera() {
  m_stop = true;
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::lock_guard<std::mutex> lock(m_threadsMutex);
  for (std::thread& t : m_sessions)
    if (t.joinable()) t.join();
  if (m_listener >= 0) close(m_listener);
}

void FakeRtspCamera::AcceptLoop() {
  while (!m_stop) {
    pollfd p{m_listener, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const int s = accept(m_listener, nullptr, nullptr);
    if (s < 0) continue;
    const unsigned connection = ++m_connections;
    if (connection > kMaxConnections) {
      close(s);
      continue;
    }
    std::lock_guard<std::mutex> lock(m_threadsMutex);
    m_sessions.emplace_back(&FakeRtspCamera::Serve, this, s, connection);
  }
}

void FakeRtspCamera::Record(unsigned connection, const std::string& request) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_requests.push_back({connection, request.substr(0, request.find(' ')), request, Clock::now()});
}

std::vector<FakeRtspCamera::Request> FakeRtspCamera::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t FakeRtspCamera::Count(const std::string& method) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const Request& r : m_requests)
    if (r.method == method) ++n;
  return n;
}

bool FakeRtspCamera::WaitForCount(const std::string& method, size_t count, milliseconds timeout) const {
  return WaitUntil([&] { return Count(method) >= count; }, timeout);
}

std::string FakeRtspCamera::Answer(const std::string& request, unsigned connection, SessionState& session) {
  Record(connection, request);
  session.lastRequest = Clock::now();
  const std::string method = request.substr(0, request.find(' '));
  std::string sessionId = "4F3A2B1C";
  if (m_options.sessionTimeoutS != 0) sessionId += ";timeout=" + std::to_string(m_options.sessionTimeoutS);
  const std::string sessionHeader = "Session: " + sessionId + "\r\n";
  std::string answer;
  if (method == "OPTIONS") {
    answer = OkAnswer("Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n");
  } else if (method == "DESCRIBE") {
    const bool jpeg = m_options.rtpmap.empty();
    std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Fake camera\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n";
    sdp += jpeg ? "m=video 0 RTP/AVP 26\r\n" : "m=video 0 RTP/AVP 96\r\na=rtpmap:96 " + m_options.rtpmap + "\r\n";
    sdp += "a=control:track1\r\n";
    answer = DescribeAnswer(sdp, "Content-Base: rtsp://127.0.0.1:" + std::to_string(m_port) + "/stream/\r\n");
  } else if (method == "SETUP") {
    const std::string transport = HeaderValue(request, "Transport");
    const size_t interleaved = transport.find("interleaved=");
    if (interleaved != std::string::npos) {
      session.interleaved = true;
      session.rtpChannel = static_cast<uint8_t>(std::atoi(transport.c_str() + interleaved + 12));
      answer = SetupAnswer(sessionId, "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(session.rtpChannel) + "-" +
                                          std::to_string(session.rtpChannel + 1));
    } else {
      const size_t ports = transport.find("client_port=");
      if (ports != std::string::npos)
        session.clientPort = static_cast<uint16_t>(std::atoi(transport.c_str() + ports + 12));
      answer = SetupAnswer(sessionId, transport + ";server_port=6970-6971");
    }
  } else if (method == "PLAY") {
    if (!session.interleaved && session.udp < 0) session.udp = socket(AF_INET, SOCK_DGRAM, 0);
    session.playing = true;
    session.at = m_options.firstPacket < m_options.packets.size() ? m_options.firstPacket : 0;
    session.byes = m_byes.load();
    session.nextFrame = Clock::now();
    answer = OkAnswer(sessionHeader + "Range: npt=0.000-\r\n");
  } else {
    if (method == "TEARDOWN") session.playing = false;
    answer = OkAnswer(sessionHeader);
  }
  return WithCSeq(answer, ScriptedRtspServer::CSeqOf(request));
}

void FakeRtspCamera::SendFrame(int socket, SessionState& session) {
  const std::vector<RtpDatagram>& packets = m_options.packets;
  if (packets.empty()) return;
  for (;;) {
    std::vector<uint8_t> bytes = packets[session.at].bytes;
    const bool marker = packets[session.at].marker;
    session.at = (session.at + 1) % packets.size();
    bytes[2] = static_cast<uint8_t>(session.sequence >> 8);
    bytes[3] = static_cast<uint8_t>(session.sequence);
    ++session.sequence;
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(session.timestamp >> (24 - 8 * i));
    if (session.interleaved) {
      if (session.pending.size() < kMaxPending)
        session.pending += ScriptedRtspServer::InterleavedFrame(
            session.rtpChannel, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } else if (session.udp >= 0 && session.clientPort != 0) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(session.clientPort);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sendto(session.udp, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    if (marker || session.at == 0) break;
  }
  (void)socket;
  session.timestamp += 3600;
  ++m_framesSent;
}

void FakeRtspCamera::Serve(int s, unsigned connection) {
  SessionState session;
  const auto interval = milliseconds(m_options.frameIntervalMs);
  bool open = true;
  while (open && !m_stop) {
    pollfd p{s, static_cast<short>(POLLIN | (session.pending.empty() ? 0 : POLLOUT)), 0};
    const int ready = poll(&p, 1, 5);
    if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      char chunk[4096];
      const ssize_t n = recv(s, chunk, sizeof(chunk), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
      if (n > 0) session.input.append(chunk, static_cast<size_t>(n));
      for (;;) {
        // Interleaved data from the client (RTCP) is skipped.
        if (!session.input.empty() && session.input[0] == '$') {
          if (session.input.size() < 4) break;
          const size_t length = (static_cast<uint8_t>(session.input[2]) << 8) | static_cast<uint8_t>(session.input[3]);
          if (session.input.size() < 4 + length) break;
          session.input.erase(0, 4 + length);
          continue;
        }
        const size_t end = session.input.find("\r\n\r\n");
        if (end == std::string::npos) break;
        const std::string request = session.input.substr(0, end + 4);
        session.input.erase(0, end + 4);
        session.pending += Answer(request, connection, session);
      }
    }
    const auto now = Clock::now();
    if (m_options.strictTimeout && m_options.sessionTimeoutS != 0 && session.playing &&
        now - session.lastRequest > std::chrono::seconds(m_options.sessionTimeoutS)) {
      ++m_expired;
      break;
    }
    if (session.playing && session.interleaved && session.byes < m_byes) {
      ++session.byes;
      // RTCP BYE for one source, on the RTCP channel.
      static const char kBye[] = {'\x81', '\xcb', 0, 1, 0, 0, 0x12, 0x34};
      session.pending += ScriptedRtspServer::InterleavedFrame(static_cast<uint8_t>(session.rtpChannel + 1),
                                                             std::string(kBye, sizeof(kBye)));
    }
    if (session.playing && now >= session.nextFrame) {
      if (m_sending) SendFrame(s, session);
      session.nextFrame += interval;
      if (session.nextFrame < now) session.nextFrame = now + interval;
    }
    while (!session.pending.empty()) {
      const ssize_t n = send(s, session.pending.data(), session.pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        open = false;
        break;
      }
      session.pending.erase(0, static_cast<size_t>(n));
    }
  }
  if (session.udp >= 0) close(session.udp);
  close(s);
}

}  // namespace test
}  // namespace telvora
