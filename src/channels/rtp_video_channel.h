// A bare RTP video stream sent to a fixed local port or a multicast group,
// without RTSP. The codec is recognised from the packets themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channels/base_rtp_channel.h"
#include "media/rtp_media_parser.h"
#include "base/smart_ptr.h"

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
  bool ProcessRtpPacket(CRTPPacket& packet) override;

 private:
  TSmartPtr<CRTPMediaParser> m_parser;
  bool m_frameStartSeen;
  uint32_t m_currentSsrc;
};

// True when an RTP payload begins with an MPEG-4 start code that can lead
// a frame (visual object sequence, visual object, video object, video
// object layer, group of VOP, VOP). An H.264 payload begins with a NAL unit
// header instead, never with a start code.
bool StartsMpeg4Frame(const uint8_t* payload, size_t length);

}  // namespace telvora
