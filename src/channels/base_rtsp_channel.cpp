#include "channels/base_rtsp_channel.h"

#include "platform/sockets.h"
#include "base/string_format.h"

namespace telvora {

CBaseRTSPChannel::CBaseRTSPChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink)
    : CBaseRTPChannel(channelIndex, driver, sink), m_client(driver) {}

CBaseRTSPChannel::~CBaseRTSPChannel() { m_client.Stop(); }

void CBaseRTSPChannel::ByeReceived() { m_disconnect.Set(); }

void CBaseRTSPChannel::RtpPacketReceived(CRTPPacket& packet) {
  if (IsLetGo()) return;
  NoteAcceptedPacket(packet);
  ProcessRtpPacket(packet);
}

void CBaseRTSPChannel::FollowRedirectedHost() {
  const DEVICE_INFO* info = GetDriver()->GetDeviceInfo();
  const std::string host = m_client.GetEffectiveHost();
  uint32_t address = 0;
  if (info != nullptr && host != info->address && platform::ResolveIPv4(host, &address)) m_deviceAddress = address;
}

// Abandons a start still waiting for its first frame, and makes a stream
// that was running start again at the next pass of the channel thread.
void CBaseRTSPChannel::SessionEnded() { m_restart.Set(); }

bool CBaseRTSPChannel::IsStreamAlive() {
  return CBaseRTPChannel::IsStreamAlive() && m_client.GetLastExchangeResult();
}

void CBaseRTSPChannel::StopStream() {
  m_client.Stop();
  CBaseRTPChannel::StopStream();
}

bool CBaseRTSPChannel::StartStream() {
  RTSP_CONNECTION_INFO connection;
  const DEVICE_INFO* info = GetDriver()->GetDeviceInfo();
  if (info == nullptr) return false;
  connection.host = info->address;
  connection.userName = info->userName;
  connection.password = info->password;
  connection.connectTimeoutMs = info->timeoutMs;
  connection.receiveTimeoutMs = info->timeoutMs;
  m_client.SetKeepAliveEnabled(m_keepAlive != 0);
  if (m_deviceAddress == 0)
    LogStartFaultOnce(kFaultUnresolved, "telvora::CBaseRTSPChannel::StartStream",
                      "the address cannot be resolved, no stream can be received");
  if (!OpenUnicastTransport(m_rtpMode != 0)) return false;
  connection.clientRtpPort = m_rtpMode != 0 ? 0 : m_receiver.GetPort();
  connection.clientRtcpPort = m_rtpMode != 0 ? 0 : m_rtcpHandler.GetPort();
  FillSessionParameters(connection);
  if (m_stopEvent.Wait(0)) return false;
  // The session before this one was refused: every retry fails the same
  // way until someone corrects the user name or password.
  const int lastStatus = m_client.GetLastStatus();
  if (lastStatus == 401)
    LogStartFaultOnce(kFaultCredentials, "telvora::CBaseRTSPChannel::StartStream",
                      "the device refused the user name and password (401), retrying");
  else if (lastStatus >= 300)
    LogStartFaultOnce(kFaultRefused, "telvora::CBaseRTSPChannel::StartStream",
                      FormatString("the device answered RTSP status %d, retrying", lastStatus));
  if (m_client.Start(connection, this, m_rtpMode)) return true;
  if (!m_stopEvent.Wait(0))
    LogStartFaultOnce(kFaultNoSession, "telvora::CBaseRTSPChannel::StartStream",
                      "no RTSP connection to the device, retrying every second");
  return false;
}

}  // namespace telvora
