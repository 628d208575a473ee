// A bare RTP video stream sent to a fixed local port or a multicast group,
// without RTSP. The codec is recognised from the packets themselves.
#pragma once

#include <cstdint>

#include "channels/base_rtp_channel.h"
#include "media/rtp_media_parser.h"
#include "threading/smart_ptr.h"

namespace telvora {

class CRtpVideoChannel : public CBaseRTPChannel {
 public:
  CRtpVideoChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink);
  ~CRtpVideoChannel() override;

  void SetOption(uint32_t) override {}
  // The UDP client closed or failed: abandon the current start.
  void ReceiverClosed() override;

 protected:
  bool StartStream() override;
  bool PrepareStream() override;
  // On the receive queue's delivery thread.
  void ProcessRtpPacket(CRTPPacket& packet) override;

 private:
  TSmartPtr<CRTPMediaParser> m_parser;
  bool m_frameStartSeen;
  uint32_t m_currentSsrc;
};

}  // namespace telvora
