// An RTP channel whose stream is set up by an RTSP session.
#pragma once

#include "channels/base_rtp_channel.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/rtsp_client_user.h"
#include "rtsp/rtsp_connection_info.h"

namespace telvora {

class CBaseRTSPChannel : public CBaseRTPChannel, public IRTSPClientUser {
 public:
  CBaseRTSPChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink);
  ~CBaseRTSPChannel() override;

  // IRTSPClientUser, on the RTSP client's thread.
  void ByeReceived() override;
  void RtpPacketReceived(CRTPPacket& packet) override;
  void SessionEnded() override;

 protected:
  bool StartStream() override;
  void StopStream() override;
  bool IsStreamAlive() override;
  // After a redirect the stream comes from another host: the source filter
  // follows it. On the client thread, before SETUP.
  void FollowRedirectedHost();
  // The stream path and server port of the session.
  virtual void FillSessionParameters(RTSP_CONNECTION_INFO& connection) = 0;

  CBaseRTSPClient m_client;
};

}  // namespace telvora
