#include "channels/rtsp_video_channel.h"

#include "config/configuration.h"
#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "base/text_helpers.h"

namespace telvora {

CRTPMediaParser* CreateParserForRtpmap(const std::string& rtpmap, IDriver* driver) {
  if (rtpmap.empty()) return new CJpegRTPMediaParser(driver);
  const std::string lower = ToLower(rtpmap);
  if (lower.compare(0, 4, "h264") == 0) return new CH264RTPMediaParser(driver);
  if (lower.compare(0, 5, "mpeg4") == 0 || lower.compare(0, 4, "mp4v") == 0) return new CMpeg4RTPMediaParser(driver);
  if (lower.compare(0, 4, "jpeg") == 0) return new CJpegRTPMediaParser(driver);
  return nullptr;
}

CRtspVideoChannel::CRtspVideoChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink)
    : CBaseRTSPChannel(channelIndex, driver, sink), m_activeParser(nullptr) {}

CRtspVideoChannel::~CRtspVideoChannel() { Stop(); }

bool CRtspVideoChannel::PrepareStream() {
  IDriver* driver = GetDriver();
  const DEVICE_INFO* info = driver->GetDeviceInfo();
  if (info != nullptr) {
    CConfiguration config(driver->GetDriverName(), driver->GetHostDirectory(), *info);
    ChannelSettings settings = config.GetChannelSettings(GetChannelIndex());
    m_rtpMode = settings.RTPMode;
    m_keepAlive = settings.KeepAlive;
  }
  m_activeParser = nullptr;
  m_parser.Release();
  return true;
}

bool CRtspVideoChannel::SdpInfoReceived(SDP_INFO& info) {
  FollowRedirectedHost();
  CRTPMediaParser* parser = nullptr;
  try {
    parser = CreateParserForRtpmap(info.video.rtpmap, GetDriver());
  } catch (...) {
    parser = nullptr;
  }
  if (parser == nullptr) {
    std::string device = GetDriver()->GetDeviceText();
    GetDriver()->Log(1, "%s: Unable to handle RTP video data from device %s - unexpected payload type \"%s\"",
                     "telvora::CRtspVideoChannel::SdpInfoReceived", device.c_str(), info.video.rtpmap.c_str());
  }
  m_activeParser = nullptr;
  m_parser = parser;
  if (!m_parser) return false;
  m_parser->SetClient(this);
  MEDIA_STREAM_PARAMETERS parameters;
  parameters.parameterSet1 = info.parameterSet1;
  parameters.parameterSet2 = info.parameterSet2;
  parameters.config = info.config;
  parameters.width = info.video.width;
  parameters.height = info.video.height;
  parameters.packetizationMode = info.video.packetizationMode;
  m_parser->SetStreamParameters(parameters);
  m_activeParser = m_parser.Get();
  return true;
}

bool CRtspVideoChannel::ProcessRtpPacket(CRTPPacket& packet) {
  CRTPMediaParser* parser = m_activeParser.load();
  if (parser == nullptr) return false;
  parser->ProcessPacket(packet);
  return parser->FramesEndAtMarker();
}

void CRtspVideoChannel::FillSessionParameters(RTSP_CONNECTION_INFO& connection) {
  std::string path = GetDriver()->GetParameter(1);
  if (path.empty()) return;
  const DEVICE_INFO* info = GetDriver()->GetDeviceInfo();
  if (info != nullptr) connection.serverPort = info->port;
  // Some hosts hold the whole stream URL here instead of its path: the path
  // and a port it names are taken from it, the device stays the host's.
  std::string authority, urlPath;
  if (SplitUrlAuthority(path, &authority, &urlPath)) {
    std::string host, portText;
    bool hasPort = false;
    size_t digits = 0;
    if (SplitHostPort(authority, &host, &hasPort, &portText) && hasPort) {
      const unsigned long long port = LeadingNumber(portText, 0x10000, &digits);
      if (digits == portText.size() && port > 0 && port <= 0xFFFF) connection.serverPort = static_cast<uint16_t>(port);
    }
    path = urlPath.empty() ? std::string("/") : urlPath;
  }
  connection.path = path;
}

}  // namespace telvora
