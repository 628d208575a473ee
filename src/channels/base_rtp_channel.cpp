#include "channels/base_rtp_channel.h"

#include <cstdlib>
#include <cstring>

#include "platform/sockets.h"
#include "base/string_format.h"

namespace telvora {
namespace {

constexpr unsigned short kFirstProbePort = 3556;
constexpr unsigned short kLastProbePort = 4555;
constexpr unsigned kProbeQuietMs = 500;

}  // namespace

CBaseRTPChannel::CBaseRTPChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink)
    : CBaseCameraChannel(channelIndex, driver, sink),
      m_keepAlivePeriodMs(30000),
      m_deviceAddress(0),
      m_acceptAnySource(false),
      m_receiver(driver),
      m_rtcpHandler(driver),
      m_rtpMode(0),
      m_keepAlive(1),
      m_loggedFaults(0) {
  ResolveDeviceAddress();
}

void CBaseRTPChannel::ResolveDeviceAddress() {
  const DEVICE_INFO* info = GetDriver() != nullptr ? GetDriver()->GetDeviceInfo() : nullptr;
  uint32_t address = 0;
  if (info == nullptr || info->address.empty() || !platform::ResolveIPv4(info->address, &address)) address = 0;
  m_deviceAddress = address;
}

CBaseRTPChannel::~CBaseRTPChannel() {
  m_receiver.Close();
  m_rtcpHandler.Close();
}

void CBaseRTPChannel::StreamEnded() { m_disconnect.Set(); }

uint32_t CBaseRTPChannel::GetNoDataTimeoutMs() {
  const DEVICE_INFO* info = GetDriver()->GetDeviceInfo();
  return info != nullptr ? info->noDataTimeoutMs : 15000;
}

bool CBaseRTPChannel::LastFrameOlderThanHalfTimeout() {
  return m_lastFrameTime.GetElapsedMilliseconds() >= GetNoDataTimeoutMs() / 2;
}

// A session or receiver that ended (restart) is as dead as a silent one:
// the next pass starts again without waiting for the frame gap.
bool CBaseRTPChannel::IsStreamAlive() {
  return !LastFrameOlderThanHalfTimeout() && !m_disconnect.Wait(0) && !m_restart.Wait(0);
}

uint32_t CBaseRTPChannel::Run() {
  m_lastFrameTime.SetCurrent();
  unsigned wait = 10;
  for (;;) {
    // While streaming, an ended session or a goodbye wakes the loop at once;
    // otherwise only the stop event does, so that retries keep their pace.
    CEvent* events[3] = {&m_stopEvent, &m_restart, &m_disconnect};
    const unsigned count = GetState() == kStateStreaming ? 3 : 1;
    if (CEvent::WaitForMultiple(events, count, wait) == 0) break;
    const int32_t state = GetState();
    if (state == kStateStreaming) {
      if (IsStreamAlive()) {
        if (m_keepAliveTimer.GetElapsedMilliseconds() > m_keepAlivePeriodMs) {
          OnKeepAliveTimer();
          m_keepAliveTimer.SetCurrent();
        }
        wait = 1000;
      } else {
        SetState(kStateSignalLost);
        wait = m_disconnect.Wait(0) ? 1000 : 10;
      }
      continue;
    }
    if (state == kStateSignalLost && m_lastFrameTime.GetElapsedMilliseconds() >= GetNoDataTimeoutMs()) {
      NotifySignalLost();
      SetCameraState(false);
    }
    wait = 1000;
    StartOnce(&wait);
  }
  StopStream();
  SetState(kStateStopped);
  SetCameraState(false);
  return 0;
}

// One try a second, counted from the start of the last one, so that the
// port probing and the connection attempt do not stretch the pace.
unsigned CBaseRTPChannel::RetryWait(uint64_t begun) {
  const uint64_t spent = GetMonotonicMilliseconds() - begun;
  return spent >= 990 ? 10u : static_cast<unsigned>(1000 - spent);
}

void CBaseRTPChannel::StartOnce(unsigned* wait) {
  const uint64_t begun = GetMonotonicMilliseconds();
  StopStream();
  m_frameArrived.Reset();
  m_restart.Reset();
  // Whatever the last session left set belongs to it, whichever transport
  // it used.
  m_disconnect.Reset();
  ResetDataArrived();
  m_converter.Reset();
  // A camera may have moved, or the name server been down at the last try.
  ResolveDeviceAddress();
  if (!PrepareStream() || !StartStream()) {
    StopStream();
    *wait = RetryWait(begun);
    return;
  }
  const uint32_t timeout = GetNoDataTimeoutMs();
  CEvent* events[3] = {&m_stopEvent, &m_frameArrived, &m_restart};
  unsigned which = CEvent::WaitForMultiple(events, 3, timeout / 2);
  // Packets flow but the first frame has not come: a camera with a long
  // key-frame interval gets the whole no-data time-out.
  const bool packets = which == kWaitFailed && m_dataArrived.Wait(0);
  if (packets) which = CEvent::WaitForMultiple(events, 3, timeout - timeout / 2);
  if (which == 1) {
    SetState(kStateStreaming);
    m_loggedFaults = 0;  // a fault that comes back is reported again
    *wait = 1000;
  } else if (which == 0) {
    *wait = 1000;
  } else if (which == 2) {
    *wait = RetryWait(begun);  // the session ended: a refusing camera
  } else {
    if (packets)
      LogStartFaultOnce(kFaultNoFrame, "telvora::CBaseRTPChannel::StartOnce",
                        FormatString("packets arrive but no frame came within %u ms, restarting the stream", timeout),
                        2);
    *wait = 10;  // no frame in time: start again almost at once
  }
}

void CBaseRTPChannel::StopStream() {
  m_receiver.Close();
  m_rtcpHandler.Close();
}

void CBaseRTPChannel::ResetDataArrived() {
  // Event first: a packet noted in between is noted again by the next one.
  m_dataArrived.Reset();
  m_dataNoted = false;
}

void CBaseRTPChannel::NoteAcceptedPacket(const CRTPPacket& packet) {
  if (!m_dataNoted.exchange(true)) m_dataArrived.Set();
  m_rtcpHandler.NotePacket(packet.GetSequenceNumber());
}

void CBaseRTPChannel::PacketReceived(const sockaddr* from, CRTPPacket& packet) {
  // A frame made now could only be dropped, after asking the host for memory.
  if (IsLetGo()) return;
  if (!m_acceptAnySource) {
    if (from == nullptr || from->sa_family != AF_INET) return;
    sockaddr_in source;
    std::memcpy(&source, from, sizeof(source));
    if (source.sin_addr.s_addr != m_deviceAddress) return;
  }
  NoteAcceptedPacket(packet);
  m_receiver.SetFramesEndAtMarker(ProcessRtpPacket(packet));
}

bool CBaseRTPChannel::DeliverFrame(IVideoFrame* frame) {
  m_frameArrived.Set();
  // The camera is alive whatever the host does with its frame; only the
  // online report waits for a frame the host takes.
  m_lastFrameTime.SetCurrent();
  if (!SendFrameCallback(frame)) return false;
  // A frame that comes while the channel stops is still handed over, but
  // the camera does not go online after its offline line.
  if (!m_stopEvent.Wait(0)) SetCameraState(true);
  return true;
}

void CBaseRTPChannel::GetChannelParameters(std::pair<uint32_t, uint32_t>* values) {
  if (values != nullptr) *values = std::make_pair(GetSettings().frameSize1, GetSettings().frameSize2);
}

std::string CBaseRTPChannel::GetDriverName() { return GetDriver()->GetDriverName(); }

void CBaseRTPChannel::ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME* time) {
  m_converter.Update(rtpTimestamp);
  if (time != nullptr) m_converter.GetTime(*time);
}

void CBaseRTPChannel::LogStartFaultOnce(StartFault fault, const char* function, const std::string& what,
                                        int level) {
  if ((m_loggedFaults & fault) != 0) return;
  m_loggedFaults |= fault;
  std::string device = GetDriver()->GetDeviceText();
  GetDriver()->Log(level, "%s: Device %s: %s", function, device.c_str(), what.c_str());
}

bool CBaseRTPChannel::OpenUnicastTransport(bool skip) {
  if (skip) return true;
  if (m_deviceAddress == 0) {
    // RTCP is bound to the device address, so no port pair can open: fail
    // now instead of probing every port for half a second each.
    LogStartFaultOnce(kFaultUnresolved, "telvora::CBaseRTPChannel::OpenUnicastTransport",
                      "the address cannot be resolved, no stream can be received");
    return false;
  }
  m_receiver.SetUser(this);
  m_rtcpHandler.SetUser(this);
  for (unsigned port = kFirstProbePort; port + 1 <= kLastProbePort && !m_stopEvent.Wait(0); port += 2) {
    ResetDataArrived();
    m_disconnect.Reset();
    if (!m_receiver.Open(false, static_cast<unsigned short>(port))) continue;
    // Any packet that arrives before the session exists is stray traffic:
    // during the probe every source counts.
    m_acceptAnySource = true;
    CEvent* events[2] = {&m_stopEvent, &m_dataArrived};
    const unsigned which = CEvent::WaitForMultiple(events, 2, kProbeQuietMs);
    m_acceptAnySource = false;
    if (which == kWaitFailed &&
        m_rtcpHandler.Open(m_deviceAddress, static_cast<unsigned short>(port + 1))) {
      return true;
    }
    m_receiver.Close();
    m_rtcpHandler.Close();
  }
  if (!m_stopEvent.Wait(0))
    LogStartFaultOnce(kFaultNoPortPair, "telvora::CBaseRTPChannel::OpenUnicastTransport",
                      FormatString("no free UDP port pair between %u and %u", unsigned(kFirstProbePort),
                                   unsigned(kLastProbePort)));
  return false;
}

bool CBaseRTPChannel::OpenFixedTransport(unsigned short port) {
  ResetDataArrived();
  m_disconnect.Reset();
  if (m_deviceAddress == 0)
    LogStartFaultOnce(kFaultUnresolved, "telvora::CBaseRTPChannel::OpenFixedTransport",
                      "the address cannot be resolved, no packet will be accepted");
  if (port != 0 && !m_stopEvent.Wait(0)) {
    m_receiver.SetUser(this);
    m_rtcpHandler.SetUser(this);
    if (m_receiver.Open(false, port)) {
      m_rtcpHandler.Open(m_deviceAddress, static_cast<unsigned short>(port + 1));
      m_acceptAnySource = false;
      return true;
    }
    LogStartFaultOnce(kFaultPortInUse, "telvora::CBaseRTPChannel::OpenFixedTransport",
                      FormatString("UDP port %u cannot be opened", unsigned(port)));
  }
  m_receiver.Close();
  m_rtcpHandler.Close();
  return false;
}

bool CBaseRTPChannel::OpenMulticastTransport(const std::string& group, unsigned short port) {
  if (!group.empty() && port != 0) {
    m_receiver.SetUser(this);
    m_rtcpHandler.SetUser(this);
    ResetDataArrived();
    m_disconnect.Reset();
    if (!m_stopEvent.Wait(0) && m_receiver.OpenMulticast(group, port) && !m_stopEvent.Wait(0) &&
        m_rtcpHandler.OpenMulticast(m_deviceAddress, group, static_cast<unsigned short>(port + 1))) {
      const DEVICE_INFO* info = GetDriver()->GetDeviceInfo();
      m_acceptAnySource = info != nullptr && group == info->address;
      return true;
    }
    if (!m_stopEvent.Wait(0))
      LogStartFaultOnce(kFaultNoGroup, "telvora::CBaseRTPChannel::OpenMulticastTransport",
                        FormatString("group %s cannot be joined on port %u", group.c_str(), unsigned(port)));
  }
  m_receiver.Close();
  m_rtcpHandler.Close();
  return false;
}

bool IsMulticastAddress(const std::string& address) {
  if (address.empty()) return false;
  size_t parts = 1;
  for (char c : address)
    if (c == '.') ++parts;
  if (parts != 4) return false;
  unsigned value = 0;
  for (char c : address) {
    if (c < '0' || c > '9') break;
    value = (value * 10 + static_cast<unsigned>(c - '0')) & 0xFFFF;
  }
  return (value & 0xFFF0) == 0xE0;
}

}  // namespace telvora
