// The capability query of this driver: its properties are those of an RTSP
// or bare RTP stream URL.
#pragma once

#include "properties/capability_query_module.h"

namespace telvora {

class CRTSPCapabilityQueryModule : public CCapabilityQueryModule {
 public:
  CRTSPCapabilityQueryModule(ICapabilityQueryCallback* callback, int videoStandard)
      : CCapabilityQueryModule(callback, videoStandard) {}
  ~CRTSPCapabilityQueryModule() override {}

 protected:
  CBaseCameraProperties* CreateProperties() override;
};

}  // namespace telvora
