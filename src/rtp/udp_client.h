// One UDP socket bound to a local port, optionally joined to an IPv4
// multicast group, with a receive thread ("UDP client thread, port %u")
// that passes every datagram to the user.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/debug_message.h"
#include "platform/sockets.h"
#include "rtp/rtp_client.h"
#include "threading/base_thread.h"
#include "threading/recursive_lock.h"

namespace telvora {

class CUDPClient : public CBaseThread, public IRTPClient {
 public:
  // sink: not owned; device text and warnings.
  explicit CUDPClient(IDebugMessage* sink);
  ~CUDPClient() override;

  // Open, OpenMulticast and Close are called by one controlling thread.
  // The user is not owned; an open replaces it, Close leaves it.
  bool OpenMulticast(IRTPClientUser* user, const std::string& group, unsigned short port) override;
  bool Open(IRTPClientUser* user, unsigned short port) override;
  // Joins the receive thread for max(time-out + 1000, 5000) ms (6000 with
  // the values the receive queue and the RTCP handler use).
  bool Close() override;
  void SetBufferSize(unsigned bytes) override;
  void SetTimeout(unsigned milliseconds) override;
  unsigned short GetPort() override;

  // Sends one datagram to a sockaddr_in. False when closed or when the
  // socket refuses it; true for length 0. Safe from any thread.
  bool SendTo(const sockaddr* to, const unsigned char* data, unsigned length);
  bool IsOpen();

  // The size last asked for. Datagrams are received whole up to 65535
  // bytes whatever it is.
  unsigned GetBufferSize() const { return m_bufferSize.load(); }
  // The select time-out in seconds and microseconds.
  unsigned GetTimeoutSeconds() const { return m_timeoutSeconds.load(); }
  unsigned GetTimeoutMicroseconds() const { return m_timeoutMicroseconds.load(); }

 protected:
  void Run() override;

 private:
  struct OPEN_PARAMETERS {
    uint32_t group;  // network order; INADDR_NONE for none
    unsigned short port;
    unsigned receiveBuffer;  // SO_RCVBUF; 0 means 0xFFFF
    unsigned receiveTimeout;  // ms; 0 leaves SO_RCVTIMEO alone
    unsigned sendTimeout;  // ms; 0 leaves SO_SNDTIMEO alone
  };

  bool OpenWith(IRTPClientUser* user, uint32_t group, unsigned short port);
  bool SetUpSocket(const OPEN_PARAMETERS& parameters);
  // True when a datagram can be read; false when the thread should end.
  bool WaitUntilReadable(SOCKET s);
  // After a failed wait or receive: false when the thread should end.
  bool ContinueAfterError(int error);
  void NotifyTimeout();
  unsigned TimeoutMilliseconds() const;
  bool StopRequested() { return m_stopEvent.Wait(0); }
  void NotifyClosed();

  CRecursiveLock m_lock;
  std::atomic<IRTPClientUser*> m_user;
  std::atomic<SOCKET> m_socket;
  std::atomic<unsigned short> m_port;
  std::atomic<unsigned> m_bufferSize;
  std::atomic<unsigned> m_timeoutSeconds;
  std::atomic<unsigned> m_timeoutMicroseconds;
  uint32_t m_group;
  unsigned m_socketTimeout;
};

}  // namespace telvora
