// The video channel of an RTSP camera: transport options from the
// configuration file, and the depacketizer chosen from the SDP rtpmap.
#pragma once

#include <atomic>

#include "channels/base_rtsp_channel.h"
#include "media/rtp_media_parser.h"
#include "base/smart_ptr.h"

namespace telvora {

class CRtspVideoChannel : public CBaseRTSPChannel {
 public:
  CRtspVideoChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink);
  ~CRtspVideoChannel() override;

  void SetOption(uint32_t) override {}
  // On the RTSP client's thread, before the first packet of a session.
  bool SdpInfoReceived(SDP_INFO& info) override;

 protected:
  bool PrepareStream() override;
  bool ProcessRtpPacket(CRTPPacket& packet) override;
  void FillSessionParameters(RTSP_CONNECTION_INFO& connection) override;

 private:
  TSmartPtr<CRTPMediaParser> m_parser;
  // What the packet path uses. The parser is replaced only while no packet
  // flows, but a stray packet may still look while it is being replaced.
  std::atomic<CRTPMediaParser*> m_activeParser;
};

// The depacketizer for an SDP rtpmap text, or null for an unknown one.
CRTPMediaParser* CreateParserForRtpmap(const std::string& rtpmap, IDriver* driver);

}  // namespace telvora
