#include "properties/rtsp_capability_query_module.h"

#include <new>

#include "properties/rtsp_camera_properties.h"

namespace telvora {

CBaseCameraProperties* CRTSPCapabilityQueryModule::CreateProperties() {
  const int flag = VideoStandardFlag();
  return new (std::nothrow) CRTSPCameraProperties(Device(), flag);
}

}  // namespace telvora
