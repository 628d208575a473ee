// An RTSP server on 127.0.0.1 whose every connection runs a behaviour the
// test gives it: answer properly up to some point and then stall, answer
// garbage, or close. Unlike the scripted server it takes any number of
// connections, so the driver's retries can be counted. Each connection has
// a thread; the destructor wakes and ends them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "support/tcp_proxy.h"

namespace faults {

class CameraConnection {
 public:
  CameraConnection(int socket, const std::atomic<bool>& stop) : m_socket(socket), m_stop(stop) {}
  // The next whole request (up to its empty line), or "" when the peer
  // closed, the time ran out or the server stops.
  std::string ReadRequest(unsigned timeoutMs = 10000);
  bool Send(const std::string& bytes);
  // Waits, reading and dropping whatever comes, until the peer closes, the
  // server stops or the time is over.
  void Hold(unsigned timeoutMs);
  bool Stopping() const { return m_stop.load(); }
  // Ends the connection (a FIN); the descriptor is closed with the server.
  void Close();

  // A proper answer to the request: DESCRIBE gets an H.264 description,
  // SETUP a session (with the transport the request asked for), the rest
  // a plain 200.
  static std::string GoodAnswer(const std::string& request);
  static std::string CSeqOf(const std::string& request);
  static std::string MethodOf(const std::string& request);

 private:
  int m_socket;
  const std::atomic<bool>& m_stop;
  std::string m_input;
};

class MisbehavingCamera {
 public:
  using Behaviour = std::function<void(CameraConnection& connection, unsigned index)>;
  explicit MisbehavingCamera(Behaviour behaviour);

  uint16_t Port() const { return m_server.Port(); }
  unsigned Connections() const { return m_server.Connections(); }

 private:
  Behaviour m_behaviour;
  telvora::test::TcpProxy m_server;  // last: its threads end before the behaviour goes
};

}  // namespace faults
