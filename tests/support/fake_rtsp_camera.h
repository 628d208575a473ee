// A small RTSP camera on 127.0.0.1 for channel and driver tests. Unlike the
// scripted server it takes any number of sessions one after another, so a
// channel can reconnect to it. It answers OPTIONS, DESCRIBE, SETUP, PLAY,
// TEARDOWN (and anything else with 200), records every request, and after
// PLAY streams a packet list, one frame every 40 ms, to the client port of
// SETUP or interleaved in the connection.
//
// With a strict session time-out, a session that sends no request for
// longer than the time-out is dropped: streaming stops and the connection
// is closed, as a camera does that frees its encoder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/rtp_sender.h"

namespace telvora {
namespace test {

struct FakeCameraOptions {
  // The rtpmap of the video description; empty leaves the line out (and
  // the payload type is 26).
  std::string rtpmap = "H264/90000";
  // The timeout parameter of the Session header; 0 leaves it out.
  unsigned sessionTimeoutS = 0;
  bool strictTimeout = false;
  std::vector<RtpDatagram> packets;
  unsigned frameIntervalMs = 40;
  // Where in the packet list each session starts: past a key frame, the
  // first one comes late.
  size_t firstPacket = 0;
  uint16_t port = 0;  // 0: any free port
};

class FakeRtspCamera {
 public:
  struct Request {
    unsigned connection;  // 1 for the first connection
    std::string method;
    std::string text;
    std::chrono::steady_clock::time_point at;
  };

  explicit FakeRtspCamera(FakeCameraOptions options);
  ~FakeRtspCamera();  // ends every thread and closes every socket
  FakeRtspCamera(const FakeRtspCamera&) = delete;
  FakeRtspCamera& operator=(const FakeRtspCamera&) = delete;

  uint16_t Port() const { return m_port; }
  // Pauses or resumes the media of every session; requests are still answered.
  void SetSending(bool sending) { m_sending = sending; }
  // Every playing interleaved session sends one RTCP BYE and goes on
  // streaming.
  void SendBye() { ++m_byes; }

  std::vector<Request> Requests() const;
  size_t Count(const std::string& method) const;
  bool WaitForCount(const std::string& method, size_t count, std::chrono::milliseconds timeout) const;
  unsigned Connections() const { return m_connections.load(); }
  // Sessions dropped for lack of a request within the session time-out.
  unsigned ExpiredSessions() const { return m_expired.load(); }
  // Frames sent over all sessions.
  size_t FramesSent() const { return m_framesSent.load(); }

 private:
  struct SessionState;
  void AcceptLoop();
  void Serve(int socket, unsigned connection);
  std::string Answer(const std::string& request, unsigned connection, SessionState& session);
  void SendFrame(int socket, SessionState& session);
  void Record(unsigned connection, const std::string& request);

  FakeCameraOptions m_options;
  int m_listener;
  uint16_t m_port;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_sending{true};
  std::atomic<unsigned> m_connections{0};
  std::atomic<unsigned> m_expired{0};
  std::atomic<size_t> m_framesSent{0};
  std::atomic<unsigned> m_byes{0};
  std::thread m_acceptThread;
  std::mutex m_threadsMutex;
  std::vector<std::thread> m_sessions;
  mutable std::mutex m_mutex;
  std::vector<Request> m_requests;
};

}  // namespace test
}  // namespace telvora
