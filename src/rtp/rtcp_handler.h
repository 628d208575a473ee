// The RTCP side of one RTP stream received over UDP: a UDP client on the
// RTCP port, one receiver report for every sender report of the device,
// the device's goodbye passed on, and a goodbye of our own on close.
// Without a sender report it sends nothing. Thread: "RTCP Handler Thread".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/debug_message.h"
#include "platform/sockets.h"
#include "rtp/rtcp_packet.h"
#include "rtp/rtp_client.h"
#include "rtp/udp_client.h"
#include "threading/base_thread.h"
#include "threading/event.h"
#include "threading/recursive_lock.h"

namespace telvora {

class IRTCPHandlerUser {
 public:
  virtual ~IRTCPHandlerUser() {}
  // The device sent a goodbye after a sender report. On the UDP thread;
  // no lock of the handler is held.
  virtual void StreamEnded() = 0;
};

class CRTCPHandler : public CBaseThread, public IRTPClientUser {
 public:
  // A millisecond clock that wraps at 2^32.
  typedef uint32_t (*MillisecondClock)();

  // sink: not owned.
  explicit CRTCPHandler(IDebugMessage* sink);
  ~CRTCPHandler() override;

  // Not owned. Set before opening.
  void SetUser(IRTCPHandlerUser* user) { m_user = user; }
  // Replaces the clock behind report arrival and delay (for tests). Set
  // before opening; null restores the system clock.
  void SetClock(MillisecondClock clock);

  // deviceAddress: IPv4 in network order; RTCP from any other address is
  // ignored. Both fail when already open or when the address is 0.
  // Open, OpenMulticast and Close come from one controlling thread.
  bool Open(uint32_t deviceAddress, unsigned short port);
  bool OpenMulticast(uint32_t deviceAddress, const std::string& group, unsigned short port);
  // Sends our goodbye if reporting, then stops the UDP client and the thread.
  void Close();

  // Every accepted RTP packet of the stream, from the channel's packet thread.
  void NotePacket(unsigned short sequenceNumber);

  unsigned short GetPort() { return m_client.GetPort(); }
  bool IsReporting() const { return m_reporting.load(); }
  // Our SSRC as it goes on the wire.
  void GetOwnSsrc(uint8_t out[4]);
  // The receiver report as it would be sent now. Any thread.
  void BuildReceiverReport(unsigned char out[kRtcpReceiverReportSize]);

  // IRTPClientUser, on the UDP client's thread.
  void DataReceived(IRTPClient* client, const sockaddr* from, const unsigned char* data, int length) override;
  void ReceiveTimeout(IRTPClient* client) override;
  void ClientClosed(IRTPClient* client) override;

 protected:
  void Run() override;

 private:
  bool OpenWith(uint32_t deviceAddress, const std::string* group, unsigned short port);
  void ResetState();
  void CreateOwnSsrc();
  // Sends to the peer of the first sender report; silent while not reporting.
  void Send(const unsigned char* data, unsigned length);
  uint32_t Now() const;

  CUDPClient m_client;
  std::atomic<uint32_t> m_deviceAddress;
  IRTCPHandlerUser* m_user;
  std::atomic<bool> m_reporting;
  CEvent m_reportEvent;
  std::atomic<MillisecondClock> m_clock;
  std::atomic<bool> m_sendFailureLogged;

  CRecursiveLock m_lock;  // guards everything below
  sockaddr_in m_peer;
  uint32_t m_reportArrival;  // 0: none
  uint8_t m_versionBits;
  CRTPSequenceTracker m_sequence;
  uint8_t m_ownSsrc[4];
  uint8_t m_reportedSsrc[4];
  uint8_t m_lastSr[4];
};

}  // namespace telvora
