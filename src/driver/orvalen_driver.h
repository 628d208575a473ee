// This driver's device object: parses the device address, picks the kind
// of stream per device and names itself "Orvalen".
#pragma once

#include <cstdint>
#include <string>

#include "driver/ip_capture_driver.h"

namespace telvora {

class COrvalenDriver : public CIPCaptureDriver {
 public:
  COrvalenDriver() {}
  // Closes the device: every stream is stopped before the driver goes.
  ~COrvalenDriver() override;

  // Takes address and port from the host's address text (which may be a
  // URL) and writes the start-up line. False when the text names no host
  // or a port of 0.
  bool OpenDevice(IHostDevice* device) override;
  bool PrepareOpen() override { return true; }
  bool CanOpen() override { return true; }

  std::string GetDriverName() override { return "Orvalen"; }

  // A new stream for one video input, owned by the caller; null for a null
  // sink or when none can be made. The settings are not used.
  ICameraChannel* CreateVideoChannel(uint32_t channel, IHostFrameSink* sink,
                                     const CHANNEL_SETTINGS* settings) override;

  // Device parameter 2 set to exactly "1" asks for a bare RTP stream.
  bool IsRtpOnlyDevice() { return GetParameter(2) == "1"; }
};

}  // namespace telvora
