// The description of an RTSP or bare RTP device. The query does not contact
// the device: it checks the configured stream URL and reports one H.264
// channel at 640x480 and 30 frames per second.
#pragma once

#include <string>

#include "properties/base_camera_properties.h"
#include "properties/url_validation.h"

namespace telvora {

class CRTSPCameraProperties : public CBaseCameraProperties {
 public:
  // device.address holds the stream URL until Query splits it.
  CRTSPCameraProperties(const DEVICE_INFO& device, const int& videoStandardFlag);
  ~CRTSPCameraProperties() override;

  // "RTSP URI" with the stream path, then "RTP Stream Only" "1" or "0".
  bool FillDriverProperties(ICapabilityResults* results) override;
  // False with code 3 for an invalid URL (see GetLastErrorText) or when
  // Abort came first.
  bool Query(int* errorCode) override;
  std::string GetLastErrorText() override { return m_lastErrorText; }

  // Split the URL into the device record's address and port, the stream
  // path and the RTP-only flag; on failure the message is the last error.
  bool ValidateUrl(std::string url);
  bool ParseAddressPort(std::string text);

  const std::string& GetStreamPath() const { return m_streamPath; }
  bool IsRtpOnly() const { return m_rtpOnly; }

 private:
  STREAM_URL_FIELDS Fields();

  std::string m_lastErrorText;
  std::string m_streamPath;
  bool m_rtpOnly = false;
};

}  // namespace telvora
