#include "driver/channel_factory.h"

namespace telvora {

ICameraChannel* NewCameraChannel(bool /*rtpOnly*/, uint32_t /*channel*/, IDriver* /*driver*/,
                                 IHostFrameSink* /*sink*/) {
  // No stream classes are linked into this build yet, so every open fails cleanly.
  return nullptr;
}

}  // namespace telvora
