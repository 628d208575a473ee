#include "driver/channel_factory.h"

#include <new>

#include "channels/rtp_video_channel.h"
#include "channels/rtsp_video_channel.h"

namespace telvora {

ICameraChannel* NewCameraChannel(bool rtpOnly, uint32_t channel, IDriver* driver, IHostFrameSink* sink) {
  if (rtpOnly) return new (std::nothrow) CRtpVideoChannel(channel, driver, sink);
  return new (std::nothrow) CRtspVideoChannel(channel, driver, sink);
}

}  // namespace telvora
