// Shared pieces of the RTSP client tests: a recording user, request texts
// as the client must send them, and answers as servers send them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp/rtsp_client.h"
#include "support/fake_driver.h"
#include "support/scripted_rtsp_server.h"
#include "support/wait_until.h"

namespace telvora {
namespace test {

class RecordingClientUser : public IRTSPClientUser {
 public:
  void ByeReceived() override { ++byes; }
  bool SdpInfoReceived(SDP_INFO& info) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    sdp = info;
    ++sdpCalls;
    if (throwOnSdp) throw std::runtime_error("user refuses");
    return acceptSdp;
  }
  void RtpPacketReceived(CRTPPacket& packet) override {
    // A host that keeps its thread busy with a frame.
    if (holdFirstMs > 0 && packet.GetSequenceNumber() == 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(holdFirstMs));
    std::lock_guard<std::mutex> lock(m_mutex);
    sequences.push_back(packet.GetSequenceNumber());
    payloads.emplace_back(reinterpret_cast<const char*>(packet.GetPayload()), packet.GetPayloadLength());
    m_changed.notify_all();
  }
  void SessionEnded() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++ended;
    m_changed.notify_all();
  }
  bool WaitEnded(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended > 0; });
  }
  bool WaitPackets(size_t count, unsigned ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return sequences.size() >= count; });
  }
  std::vector<uint16_t> Sequences() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return sequences;
  }
  std::vector<std::string> Payloads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return payloads;
  }
  SDP_INFO Sdp() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return sdp;
  }

  unsigned holdFirstMs = 0;
  bool acceptSdp = true;
  bool throwOnSdp = false;
  std::atomic<int> byes{0};
  std::atomic<int> ended{0};
  std::atomic<int> sdpCalls{0};

 private:
  SDP_INFO sdp;
  std::vector<uint16_t> sequences;
  std::vector<std::string> payloads;
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

inline std::string Base(uint16_t port, const std::string& path = "") {
  return "rtsp://127.0.0.1:" + std::to_string(port) + "/" + path;
}

inline std::string DescribeRequest(const std::string& url, int cseq, const std::string& auth = "") {
  return "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + auth +
         "User-Agent: Telvora\r\nAccept: application/sdp\r\n\r\n";
}
inline std::string SetupRequest(const std::string& url, int cseq, const std::string& transport,
                                const std::string& auth = "") {
  return "SETUP " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + auth +
         "User-Agent: Telvora\r\nTransport: " + transport + "\r\n\r\n";
}
inline std::string SessionLine(const std::string& session) {
  return session.empty() ? std::string() : "Session: " + session + "\r\n";
}
inline std::string PlayRequest(const std::string& url, int cseq, const std::string& session,
                               const std::string& auth = "") {
  return "PLAY " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + auth + "User-Agent: Telvora\r\n" +
         SessionLine(session) + "Range: npt=0.000-\r\n\r\n";
}
inline std::string TeardownRequest(const std::string& url, int cseq, const std::string& session,
                                   const std::string& auth = "") {
  return "TEARDOWN " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + auth +
         "User-Agent: Telvora\r\n" + SessionLine(session) + "\r\n";
}
inline std::string GetParameterRequest(const std::string& url, int cseq, const std::string& session) {
  return "GET_PARAMETER " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nUser-Agent: Telvora\r\n" +
         SessionLine(session) + "\r\n";
}
inline std::string OptionsRequest(const std::string& url, int cseq, const std::string& session) {
  return "OPTIONS " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nUser-Agent: Telvora\r\n" +
         SessionLine(session) + "\r\n";
}

inline std::string H264Sdp(const std::string& control = "trackID=1") {
  std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Test\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
      "a=rtpmap:96 H264/90000\r\n"
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==\r\n";
  if (!control.empty()) sdp += "a=control:" + control + "\r\n";
  return sdp;
}

inline RTSP_CONNECTION_INFO LoopbackConnection(uint16_t port, unsigned receiveTimeoutMs = 2000) {
  RTSP_CONNECTION_INFO c;
  c.host = "127.0.0.1";
  c.serverPort = port;
  c.clientRtpPort = 5000;
  c.clientRtcpPort = 5001;
  c.connectTimeoutMs = 2000;
  c.receiveTimeoutMs = receiveTimeoutMs;
  c.sendTimeoutMs = 1000;
  return c;
}

// Milliseconds a call takes.
template <typename F>
long long TimeMs(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The client's limit for Stop with the connection's time-outs.
inline long long StopLimitMs(const RTSP_CONNECTION_INFO& c) {
  return 2LL * std::max(c.sendTimeoutMs, c.receiveTimeoutMs) + 1000;
}

}  // namespace test
}  // namespace telvora
