#include "channels/rtp_video_channel.h"

#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/mpeg4_rtp_media_parser.h"

namespace telvora {

CRtpVideoChannel::CRtpVideoChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink)
    : CBaseRTPChannel(channelIndex, driver, sink), m_frameStartSeen(false), m_currentSsrc(0) {}

CRtpVideoChannel::~CRtpVideoChannel() { Stop(); }

void CRtpVideoChannel::ReceiverClosed() { m_restart.Set(); }

bool CRtpVideoChannel::PrepareStream() {
  m_parser.Release();
  return true;
}

bool CRtpVideoChannel::StartStream() {
  m_frameStartSeen = false;
  m_currentSsrc = 0;
  const DEVICE_INFO* info = GetDriver()->GetDeviceInfo();
  if (info == nullptr) return false;
  if (info->port == 0) {
    LogStartFaultOnce(kFaultPortZero, "telvora::CRtpVideoChannel::StartStream",
                      "port 0 is no RTP port, no stream can be received");
    return false;
  }
  if (IsMulticastAddress(info->address)) return OpenMulticastTransport(info->address, info->port);
  return OpenFixedTransport(info->port);
}

bool StartsMpeg4Frame(const uint8_t* payload, size_t length) {
  if (payload == nullptr || length < 4 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1) return false;
  const uint8_t code = payload[3];
  return code <= 0x2F      // video object (0x00-0x1F), video object layer (0x20-0x2F)
         || code == 0xB0   // visual object sequence
         || code == 0xB3   // group of VOP
         || code == 0xB5   // visual object
         || code == 0xB6;  // VOP
}

bool CRtpVideoChannel::ProcessRtpPacket(CRTPPacket& packet) {
  if (m_parser && packet.GetSsrc() == m_currentSsrc) {
    m_parser->ProcessPacket(packet);
  } else {
    if (packet.GetSsrc() != m_currentSsrc) {
      // A new source: its codec is read from its own first frame start, and
      // nothing of it goes to the old source's depacketizer meanwhile.
      m_currentSsrc = packet.GetSsrc();
      m_frameStartSeen = false;
      m_parser.Release();
    }
    m_converter.Reset();
    CRTPMediaParser* created = nullptr;
    const uint8_t* payload = packet.GetPayload();
    if (packet.GetPayloadType() == 26) {
      created = new CJpegRTPMediaParser(GetDriver());
    } else if (packet.GetPayloadType() > 95 && packet.GetPayloadLength() > 4 && payload != nullptr &&
               m_frameStartSeen) {
      if (StartsMpeg4Frame(payload, packet.GetPayloadLength()))
        created = new CMpeg4RTPMediaParser(GetDriver());
      else
        created = new CH264RTPMediaParser(GetDriver());
    }
    if (created != nullptr) m_parser = created;
    if (m_parser) {
      m_parser->SetClient(this);
      m_parser->ProcessPacket(packet);
    }
  }
  if (packet.GetMarker()) m_frameStartSeen = true;
  return m_parser && m_parser->FramesEndAtMarker();
}

}  // namespace telvora
