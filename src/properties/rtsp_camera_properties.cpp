#include "properties/rtsp_camera_properties.h"

#include <utility>

namespace telvora {

CRTSPCameraProperties::CRTSPCameraProperties(const DEVICE_INFO& device, const int& videoStandardFlag)
    : CBaseCameraProperties(device, videoStandardFlag) {}

CRTSPCameraProperties::~CRTSPCameraProperties() {}

STREAM_URL_FIELDS CRTSPCameraProperties::Fields() {
  return STREAM_URL_FIELDS{m_device.address, m_device.port, m_streamPath, m_rtpOnly, m_lastErrorText};
}

bool CRTSPCameraProperties::ValidateUrl(std::string url) { return telvora::ValidateUrl(std::move(url), Fields()); }

bool CRTSPCameraProperties::ParseAddressPort(std::string text) {
  return telvora::ParseAddressPort(std::move(text), Fields());
}

bool CRTSPCameraProperties::Query(int* errorCode) {
  if (!ValidateUrl(m_device.address)) {
    if (errorCode != nullptr) *errorCode = 3;
    return false;
  }
  SetModelName(m_rtpOnly ? "RTP Device" : "RTSP Device");
  m_channelCount = 1;
  AddCodec(kCodecH264);
  m_main.frameRates.insert(30);
  AddResolution(640, 480, 30);
  return !IsStopped();
}

bool CRTSPCameraProperties::FillDriverProperties(ICapabilityResults* results) {
  if (results == nullptr) return false;
  WriteTextProperty(results, 1, "RTSP URI", m_streamPath, 1);
  WriteTextProperty(results, 2, "RTP Stream Only", m_rtpOnly ? "1" : "0", 0);
  return true;
}

}  // namespace telvora
