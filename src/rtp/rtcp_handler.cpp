#include "rtp/rtcp_handler.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/module.h"

namespace telvora {
namespace {

constexpr unsigned kClientTimeout = 1000;
constexpr unsigned kClientBufferSize = 1536;
constexpr unsigned kIdleWait = 10000;
constexpr unsigned kStopLimit = 5000;

}  // namespace

CRTCPHandler::CRTCPHandler(IDebugMessage* sink)
    : CBaseThread(sink),
      m_client(sink),
      m_deviceAddress(0),
      m_user(nullptr),
      m_reporting(false),
      m_reportEvent(false),
      m_clock(&platform::GetMillisecondClock),
      m_sendFailureLogged(false),
      m_reportArrival(0),
      m_versionBits(0) {
  m_client.SetTimeout(kClientTimeout);
  m_client.SetBufferSize(kClientBufferSize);
  std::memset(&m_peer, 0, sizeof(m_peer));
  std::memset(m_ownSsrc, 0, sizeof(m_ownSsrc));
  std::memset(m_reportedSsrc, 0, sizeof(m_reportedSsrc));
  std::memset(m_lastSr, 0, sizeof(m_lastSr));
}

CRTCPHandler::~CRTCPHandler() { Close(); }

void CRTCPHandler::SetClock(MillisecondClock clock) {
  m_clock = clock != nullptr ? clock : &platform::GetMillisecondClock;
}

uint32_t CRTCPHandler::Now() const { return m_clock.load()(); }

bool CRTCPHandler::Open(uint32_t deviceAddress, unsigned short port) { return OpenWith(deviceAddress, nullptr, port); }

bool CRTCPHandler::OpenMulticast(uint32_t deviceAddress, const std::string& group, unsigned short port) {
  return OpenWith(deviceAddress, &group, port);
}

bool CRTCPHandler::OpenWith(uint32_t deviceAddress, const std::string* group, unsigned short port) {
  if (m_client.IsOpen() || deviceAddress == 0) return false;
  ResetState();
  // Stored first, so that a sender report right after the bind counts.
  m_deviceAddress = deviceAddress;
  const bool opened = group != nullptr ? m_client.OpenMulticast(this, *group, port) : m_client.Open(this, port);
  if (!opened) return false;
  m_client.SetTimeout(kClientTimeout);
  StartThread("RTCP Handler Thread");
  return true;
}

void CRTCPHandler::ResetState() {
  m_reporting = false;
  m_reportEvent.Reset();
  m_sendFailureLogged = false;
  CreateOwnSsrc();
  CAutoLock lock(m_lock);
  std::memset(&m_peer, 0, sizeof(m_peer));
  m_reportArrival = 0;
  m_versionBits = 0;
  m_sequence.Clear();
  std::memset(m_reportedSsrc, 0, sizeof(m_reportedSsrc));
  std::memset(m_lastSr, 0, sizeof(m_lastSr));
}

void CRTCPHandler::CreateOwnSsrc() {
  uint8_t id[16];
  platform::CreateRandomId(id);
  uint32_t value = 0;
  std::memcpy(&value, id, sizeof(value));
  bool allZero = true;
  for (uint8_t b : id) allZero = allZero && b == 0;
  if (allZero) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    value = static_cast<uint32_t>(std::rand());
  }
  CAutoLock lock(m_lock);
  m_ownSsrc[0] = static_cast<uint8_t>(value >> 24);
  m_ownSsrc[1] = static_cast<uint8_t>(value >> 16);
  m_ownSsrc[2] = static_cast<uint8_t>(value >> 8);
  m_ownSsrc[3] = static_cast<uint8_t>(value);
}

void CRTCPHandler::GetOwnSsrc(uint8_t out[4]) {
  CAutoLock lock(m_lock);
  std::memcpy(out, m_ownSsrc, 4);
}

void CRTCPHandler::NotePacket(unsigned short sequenceNumber) {
  CAutoLock lock(m_lock);
  m_sequence.Note(sequenceNumber);
}

void CRTCPHandler::DataReceived(IRTPClient* /*client*/, const sockaddr* from, const unsigned char* data, int length) {
  if (from == nullptr || data == nullptr || length < 4 || from->sa_family != AF_INET) return;
  sockaddr_in source;
  std::memcpy(&source, from, sizeof(source));
  if (source.sin_addr.s_addr != m_deviceAddress.load()) return;

  unsigned offset = 0;
  RTCP_PACKET_VIEW packet;
  while (NextRtcpPacket(data, static_cast<unsigned>(length), &offset, &packet)) {
    if (packet.type == kRtcpSenderReport) {
      RTCP_SENDER_INFO info;
      if (!ReadSenderInfo(packet, &info)) continue;
      {
        CAutoLock lock(m_lock);
        if (!m_reporting) {
          m_peer = source;
          m_reporting = true;
        }
        m_versionBits = info.versionBits;
        std::memcpy(m_reportedSsrc, info.senderSsrc, 4);
        std::memcpy(m_lastSr, info.lastSr, 4);
        m_reportArrival = Now();
      }
      m_reportEvent.Set();
    } else if (packet.type == kRtcpGoodbye) {
      // exchange: two goodbyes in a row end the stream once.
      if (m_reporting.exchange(false) && m_user != nullptr) {
        try {
          m_user->StreamEnded();
        } catch (...) {
        }
      }
    }
  }
}

void CRTCPHandler::ReceiveTimeout(IRTPClient* /*client*/) {}

void CRTCPHandler::ClientClosed(IRTPClient* /*client*/) {}

void CRTCPHandler::BuildReceiverReport(unsigned char out[kRtcpReceiverReportSize]) {
  RTCP_REPORT_FIELDS fields;
  {
    CAutoLock lock(m_lock);
    fields.versionBits = m_versionBits;
    std::memcpy(fields.ownSsrc, m_ownSsrc, 4);
    std::memcpy(fields.reportedSsrc, m_reportedSsrc, 4);
    fields.extendedHighestSequence = m_sequence.GetExtendedHighest();
    std::memcpy(fields.lastSr, m_lastSr, 4);
    fields.delaySinceLastSr = m_reportArrival == 0 ? 0 : MillisecondsToRtcpDelay(Now() - m_reportArrival);
  }
  telvora::BuildReceiverReport(fields, out);
}

void CRTCPHandler::Send(const unsigned char* data, unsigned length) {
  if (length == 0 || !m_reporting) return;
  sockaddr_in peer;
  {
    CAutoLock lock(m_lock);
    peer = m_peer;
  }
  if (m_client.SendTo(reinterpret_cast<const sockaddr*>(&peer), data, length)) {
    m_sendFailureLogged = false;
    return;
  }
  m_reporting = false;
  // While closing, the client may already be gone under a late report.
  if (m_stopEvent.Wait(0) && !m_client.IsOpen()) return;
  IDebugMessage* sink = GetLogSink();
  if (sink != nullptr && !m_sendFailureLogged.exchange(true)) {
    sink->Log(2, "%s: Sending RTCP to device %s failed; receiver reports pause until the next sender report",
              "telvora::CRTCPHandler::Send", sink->GetDeviceText().c_str());
  }
}

void CRTCPHandler::Run() {
  CEvent* events[2] = {&m_stopEvent, &m_reportEvent};
  for (;;) {
    const unsigned which = CEvent::WaitForMultiple(events, 2, kIdleWait);
    if (which == 0) break;
    if (which != 1) continue;
    unsigned char report[kRtcpReceiverReportSize];
    BuildReceiverReport(report);
    Send(report, sizeof(report));
  }
}

void CRTCPHandler::Close() {
  m_stopEvent.Set();
  if (m_reporting) {
    unsigned char bye[kRtcpGoodbyeSize];
    uint8_t versionBits;
    uint8_t ownSsrc[4];
    {
      CAutoLock lock(m_lock);
      versionBits = m_versionBits;
      std::memcpy(ownSsrc, m_ownSsrc, 4);
    }
    BuildGoodbye(versionBits, ownSsrc, bye);
    Send(bye, sizeof(bye));
  }
  m_reporting = false;
  m_client.Close();
  StopThread(kStopLimit);
}

}  // namespace telvora
