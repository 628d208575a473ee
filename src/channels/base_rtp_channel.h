// A channel whose video arrives as RTP: the transport (receive queue and
// RTCP handler), wall-clock time stamps, and the supervision loop that
// starts the stream, watches it, reports a lost signal and starts again.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "channels/base_camera_channel.h"
#include "channels/time_stamp_converter.h"
#include "media/media_parser_client.h"
#include "rtp/rtcp_handler.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver.h"
#include "threading/event.h"
#include "threading/time.h"

namespace telvora {

class CBaseRTPChannel : public CBaseCameraChannel,
                        public IRTCPHandlerUser,
                        public IRTPReceiverUser,
                        public IMediaParserClient {
 public:
  CBaseRTPChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink);
  // A concrete channel stops its thread in its own destructor, while the
  // operations that thread calls still exist.
  ~CBaseRTPChannel() override;

  // IRTCPHandlerUser: the sender said goodbye.
  void StreamEnded() override;

  // IRTPReceiverUser, on the receive queue's delivery thread.
  void PacketReceived(const sockaddr* from, CRTPPacket& packet) override;
  void ReceiverTimeout() override {}
  void ReceiverClosed() override {}

  // IMediaParserClient, on the thread that delivered the completing packet.
  bool DeliverFrame(IVideoFrame* frame) override;
  void GetChannelParameters(std::pair<uint32_t, uint32_t>* values) override;
  std::string GetDriverName() override;
  void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME* time) override;

 protected:
  uint32_t Run() override;

  // Opens the transport and, for RTSP, the session.
  virtual bool StartStream() = 0;
  virtual void StopStream();
  // Per-start preparation: settings, a fresh depacketizer.
  virtual bool PrepareStream() = 0;
  virtual bool IsStreamAlive();
  // True when the depacketizer that took the packet hands frames over at
  // their marker.
  virtual bool ProcessRtpPacket(CRTPPacket& packet) = 0;
  virtual void OnKeepAliveTimer() {}

  // Probes even ports from 3556 for a pair on which no stray traffic
  // arrives. skip: open nothing (interleaved transport) and succeed.
  bool OpenUnicastTransport(bool skip);
  bool OpenFixedTransport(unsigned short port);
  bool OpenMulticastTransport(const std::string& group, unsigned short port);

  // Counts an accepted packet: data-arrived, and RTCP sequence tracking.
  void NoteAcceptedPacket(const CRTPPacket& packet);
  bool LastFrameOlderThanHalfTimeout();
  uint32_t GetNoDataTimeoutMs();
  // Faults that make every start fail until something changes.
  enum StartFault : unsigned {
    kFaultUnresolved = 1,
    kFaultPortZero = 2,
    kFaultPortInUse = 4,
    kFaultNoPortPair = 8,
    kFaultNoGroup = 16,
    kFaultNoSession = 32,
    kFaultCredentials = 64,
    kFaultNoFrame = 128,
    kFaultRefused = 256,  // an RTSP error status other than 401
  };
  // One line per fault until the stream runs again; the retries in between
  // stay quiet.
  void LogStartFaultOnce(StartFault fault, const char* function, const std::string& what, int level = 1);
  // Looks the device's name up again; 0 when it cannot be resolved.
  void ResolveDeviceAddress();

  uint32_t m_keepAlivePeriodMs;
  CTime m_keepAliveTimer;
  // IPv4, network order; 0 when unresolved. Looked up at every start, read
  // by the delivery thread.
  std::atomic<uint32_t> m_deviceAddress;
  CTimeStampConverter m_converter;
  // Written by the channel thread, read by the delivery thread.
  std::atomic<bool> m_acceptAnySource;
  CRTPReceiver m_receiver;
  CRTCPHandler m_rtcpHandler;
  CManualEvent m_dataArrived;
  // Mirrors m_dataArrived for the delivery thread, which then sets the
  // event once per reset instead of once per packet.
  std::atomic<bool> m_dataNoted{false};
  void ResetDataArrived();
  CManualEvent m_frameArrived;
  CManualEvent m_disconnect;
  CManualEvent m_restart;
  int32_t m_rtpMode;
  int32_t m_keepAlive;

 private:
  unsigned m_loggedFaults;  // StartFault bits; channel thread only
  void StartOnce(unsigned* wait);
  static unsigned RetryWait(uint64_t begun);
};

// True for a dotted address whose first part is 224 to 239.
bool IsMulticastAddress(const std::string& address);

}  // namespace telvora
