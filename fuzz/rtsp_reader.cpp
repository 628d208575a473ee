// The session client's response reading behind an in-process server that
// answers the first request of each connection with the input bytes and
// then ends its side. Byte 0 picks the transport, so interleaved reception
// is reached too. Each input costs loopback connections and a thread, so
// this target states its own floor: fuzz floor: 200000 executions.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sockets.h"
#include "rtsp/rtsp_client.h"
#include "platform/module.h"
#include "threading/event.h"

namespace {

class Sink : public IDebugMessage {
 public:
  std::string GetDeviceText() override { return "127.0.0.1:554"; }
  void Log(int, const char*, ...) override {}
};

class User : public telvora::IRTSPClientUser {
 public:
  void ByeReceived() override {}
  bool SdpInfoReceived(telvora::SDP_INFO&) override { return true; }
  void RtpPacketReceived(telvora::CRTPPacket&) override {}
  void SessionEnded() override { ended.Set(); }
  telvora::CManualEvent ended;
};

SOCKET Listener(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(a);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 8) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    __builtin_trap();
  *port = ntohs(a.sin_port);
  return s;
}

// Reads until the peer closes, a second passes or the input is done with.
void Drain(SOCKET s, std::string* first, const std::atomic<bool>& done) {
  char buffer[4096];
  for (int i = 0; i < 100 && !done; ++i) {
    if (telvora::platform::WaitReadable(s, 10) != telvora::platform::kWaitReady) continue;
    const int n = recv(s, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    if (first != nullptr) {
      first->append(buffer, static_cast<size_t>(n));
      if (first->find("\r\n\r\n") != std::string::npos) return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint16_t port = 0;
  static SOCKET listener = Listener(&port);
  if (size == 0) return 0;
  const int mode = (data[0] & 1) ? telvora::kTransportInterleaved : telvora::kTransportUdp;
  const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);

  // Every connection the client makes for this input is served here, a
  // reconnection after a 401 or a redirect too: one left in the backlog
  // would be taken by the next input's server, and that input's client
  // would wait out its time-outs unanswered.
  std::atomic<bool> done{false};
  std::thread server([&] {
    while (!done) {
      if (telvora::platform::WaitReadable(listener, 10) != telvora::platform::kWaitReady) continue;
      SOCKET s = accept(listener, nullptr, nullptr);
      if (s == INVALID_SOCKET) continue;
      std::string request;
      Drain(s, &request, done);
      telvora::platform::SendSome(s, reinterpret_cast<const unsigned char*>(answer.data()),
                                  static_cast<int>(answer.size()));
      shutdown(s, SD_SEND);
      Drain(s, nullptr, done);
      closesocket(s);
    }
  });

  Sink sink;
  User user;
  {
    telvora::CBaseRTSPClient client(&sink);
    telvora::RTSP_CONNECTION_INFO connection;
    connection.host = "127.0.0.1";
    connection.serverPort = port;
    connection.receiveTimeoutMs = 300;
    connection.sendTimeoutMs = 300;
    // A session that reaches PLAY waits for Stop; every other one ends by
    // itself once the server has closed its side.
    if (client.Start(connection, &user, mode)) user.ended.Wait(200);
    const uint32_t before = telvora::platform::GetMillisecondClock();
    client.Stop();
    if (telvora::platform::GetMillisecondClock() - before > 2 * 300 + 1000) __builtin_trap();
  }
  done = true;
  server.join();
  return 0;
}
