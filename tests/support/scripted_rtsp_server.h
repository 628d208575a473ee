// A scripted RTSP server on loopback for tests of the RTSP client and of
// everything built on it. It listens on 127.0.0.1 with a port of its own
// (Port()), accepts one connection and plays a script, step by step, on
// its own thread:
//
//   ScriptedRtspServer server;
//   server.Expect("DESCRIBE rtsp://127.0.0.1:" + port + "/ RTSP/1.0\r\n...\r\n")
//         .Send("RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\n\r\n")
//         .ExpectAny()           // next request, whatever it is
//         .Close();
//   server.Start();
//   ... run the client ...
//   EXPECT_TRUE(server.WaitDone(5000));
//   EXPECT_EQ(server.Failures(), std::vector<std::string>{});
//
// Every request is compared byte for byte with its Expect text; a mismatch
// or a request that does not come in time is recorded in Failures() and
// ends the script (the connection is closed). In Send texts, "{cseq}" is
// replaced with the CSeq value of the latest request. Every request that
// arrives, scripted or not, is kept in Requests() with its arrival time.
// After the last step the connection stays open, silent, until the
// destructor, which ends the thread and closes every socket.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"

namespace telvora {
namespace test {

class ScriptedRtspServer {
 public:
  struct Request {
    std::string text;
    std::chrono::milliseconds at;  // since the connection was accepted
  };
  // Returns "" when the request is right, else what is wrong with it.
  using Check = std::function<std::string(const std::string& request)>;

  ScriptedRtspServer();
  ~ScriptedRtspServer();
  ScriptedRtspServer(const ScriptedRtspServer&) = delete;
  ScriptedRtspServer& operator=(const ScriptedRtspServer&) = delete;

  // 0 when the listener could not be opened.
  uint16_t Port() const { return m_port; }

  // Script steps, played in order after Start().
  ScriptedRtspServer& Expect(const std::string& request, unsigned timeoutMs = 5000);
  ScriptedRtspServer& ExpectWith(Check check, unsigned timeoutMs = 5000);
  ScriptedRtspServer& ExpectAny(unsigned timeoutMs = 5000);
  // Sends the bytes in one write.
  ScriptedRtspServer& Send(const std::string& bytes);
  // Sends the bytes in pieces cut at the given offsets, pausing between.
  ScriptedRtspServer& SendSplit(const std::string& bytes, const std::vector<size_t>& cuts, unsigned pauseMs = 20);
  // One byte at a time with a pause after each.
  ScriptedRtspServer& SendSlowly(const std::string& bytes, unsigned pauseMs);
  ScriptedRtspServer& Delay(unsigned milliseconds);
  // Sends the frame every interval for the duration, recording (not
  // checking) any requests that arrive meanwhile. Ends early when the peer
  // closes.
  ScriptedRtspServer& Stream(const std::string& bytes, unsigned intervalMs, unsigned durationMs);
  // Records requests, answering none, until the peer closes or the time is up.
  ScriptedRtspServer& Listen(unsigned durationMs);
  // Expects the peer to close within the time, with no request before.
  ScriptedRtspServer& ExpectClosed(unsigned timeoutMs = 5000);
  // Closes the connection; later steps are not played.
  ScriptedRtspServer& Close();
  // Closes the connection (if still open) and waits for the peer to
  // connect again; the script goes on on the new connection.
  ScriptedRtspServer& Reaccept(unsigned timeoutMs = 5000);
  // How many connections were accepted.
  int Connections() const { return m_connections.load(); }

  void Start();
  // True when the script has played to its end (or stopped at a failure).
  bool WaitDone(unsigned milliseconds);

  std::vector<std::string> Failures() const;
  std::vector<Request> Requests() const;
  // Requests whose text starts with the method word.
  size_t CountRequests(const std::string& method) const;
  bool Accepted() const { return m_accepted.load(); }

  // "$", channel, 16-bit length and payload.
  static std::string InterleavedFrame(uint8_t channel, const std::string& payload);
  // A minimal RTP packet (version 2, no CSRC) with the payload.
  static std::string RtpPacket(uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                               bool marker, const std::string& payload);
  // The value of the CSeq header of a request, or "".
  static std::string CSeqOf(const std::string& request);

 private:
  struct Step {
    enum Kind { kExpect, kSend, kDelay, kStream, kListen, kExpectClosed, kClose, kReaccept } kind;
    std::string bytes;
    Check check;
    std::vector<size_t> cuts;
    unsigned pauseMs = 0;
    unsigned timeoutMs = 0;
    unsigned intervalMs = 0;
  };

  void Run();
  bool PlayStep(const Step& step);
  // Reads until one whole request is buffered; "" on time-out or close.
  bool ReadRequest(unsigned timeoutMs, std::string& request, bool* closed);
  // Takes complete requests off the input buffer into the record.
  void DrainRequests(bool* closed);
  bool SendAll(const std::string& bytes);
  void Fail(const std::string& what);
  std::chrono::milliseconds Since() const;

  SOCKET m_listener;
  SOCKET m_connection;
  uint16_t m_port;
  std::vector<Step> m_steps;
  std::thread m_thread;
  std::atomic<bool> m_stop;
  std::atomic<bool> m_accepted;
  std::atomic<int> m_connections{0};
  bool AcceptOne(unsigned timeoutMs);
  std::string m_input;
  std::string m_lastCSeq;
  std::chrono::steady_clock::time_point m_acceptedAt;

  mutable std::mutex m_mutex;
  std::condition_variable m_doneChanged;
  bool m_done;
  std::vector<std::string> m_failures;
  std::vector<Request> m_requests;
};

// Answers as servers send them, for Send; "{cseq}" as above.
inline std::string OkAnswer(const std::string& headers = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\n" + headers + "\r\n";
}
inline std::string DescribeAnswer(const std::string& sdp, const std::string& headers = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: {cseq}\r\n" + headers +
         "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}
inline std::string SetupAnswer(const std::string& session, const std::string& transport) {
  return OkAnswer("Session: " + session + "\r\nTransport: " + transport + "\r\n");
}
// The text with every "{cseq}" filled in.
inline std::string WithCSeq(std::string text, const std::string& cseq) {
  for (size_t at = text.find("{cseq}"); at != std::string::npos; at = text.find("{cseq}", at + cseq.size()))
    text.replace(at, 6, cseq);
  return text;
}

}  // namespace test
}  // namespace telvora
