#include "misbehaving_camera.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>


namespace faults {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kSliceMs = 50;

std::string HeaderValue(const std::string& request, const std::string& name) {
  size_t at = request.find("\r\n" + name + ":");
  if (at == std::string::npos) return std::string();
  at += name.size() + 3;
  while (at < request.size() && request[at] == ' ') ++at;
  return request.substr(at, request.find("\r\n", at) - at);
}

}  // namespace

std::string CameraConnection::ReadRequest(unsigned timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    const size_t blank = m_input.find("\r\n\r\n");
    if (blank != std::string::npos) {
      std::string request = m_input.substr(0, blank + 4);
      m_input.erase(0, blank + 4);
      return request;
    }
    if (m_stop || Clock::now() >= end) return std::string();
    pollfd fd{m_socket, POLLIN, 0};
    if (poll(&fd, 1, kSliceMs) <= 0) continue;
    const ssize_t n = recv(m_socket, buffer, sizeof(buffer), 0);
    if (n <= 0) return std::string();
    m_input.append(buffer, static_cast<size_t>(n));
  }
}

bool CameraConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size() && !m_stop) {
    pollfd fd{m_socket, POLLOUT, 0};
    if (poll(&fd, 1, kSliceMs) <= 0) continue;
    const ssize_t n = send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return sent == bytes.size();
}

void CameraConnection::Hold(unsigned timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  while (!m_stop && Clock::now() < end) {
    pollfd fd{m_socket, POLLIN, 0};
    if (poll(&fd, 1, kSliceMs) <= 0) continue;
    if (recv(m_socket, buffer, sizeof(buffer), 0) <= 0) return;
  }
}

void CameraConnection::Close() { shutdown(m_socket, SHUT_RDWR); }

std::string CameraConnection::CSeqOf(const std::string& request) { return HeaderValue(request, "CSeq"); }

std::string CameraConnection::MethodOf(const std::string& request) { return request.substr(0, request.find(' ')); }

std::string CameraConnection::GoodAnswer(const std::string& request) {
  const std::string method = MethodOf(request);
  std::string answer = "RTSP/1.0 200 OK\r\nCSeq: " + CSeqOf(request) + "\r\n";
  if (method == "DESCRIBE") {
    const std::string sdp =
        "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=fault\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
        "a=rtpmap:96 H264/90000\r\na=control:track1\r\n";
    return answer + "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" +
           sdp;
  }
  if (method == "SETUP") {
    std::string transport = HeaderValue(request, "Transport");
    if (transport.find("client_port") != std::string::npos) transport += ";server_port=6970-6971";
    return answer + "Session: 4711;timeout=60\r\nTransport: " + transport + "\r\n\r\n";
  }
  if (method == "PLAY") return answer + "Session: 4711\r\nRange: npt=0.000-\r\n\r\n";
  return answer + "\r\n";
}

MisbehavingCamera::MisbehavingCamera(Behaviour behaviour)
    : m_behaviour(std::move(behaviour)),
      m_server(0, {nullptr, nullptr, [this](telvora::test::ProxyLink& link) {
                     CameraConnection connection(link.client, m_server.Stopping());
                     m_behaviour(connection, link.index);
                     // The behaviour is over: the connection stays open, silent,
                     // until the peer or the server closes it.
                     connection.Hold(600000);
                   }}) {}

}  // namespace faults
