// Per-device transport options from <driver name>.xml in the host directory.
#pragma once

#include <cstdint>
#include <string>

#include "host/driver_services.h"

namespace telvora {

struct ChannelSettings {
  int32_t RTPMode = 0;    // 0 RTP over UDP, 2 interleaved in the RTSP connection
  int32_t KeepAlive = 1;  // 1 keep the RTSP session alive with OPTIONS
};

class CConfiguration {
 public:
  // baseName is the driver name; an empty one disables the file.
  CConfiguration(const std::string& baseName, const std::string& directory, const DEVICE_INFO& device);
  virtual ~CConfiguration() {}

  // Reads the file afresh. Any failure yields the defaults; never throws.
  ChannelSettings GetChannelSettings(uint32_t videoChannel) const;
  const std::string& GetPath() const { return m_path; }

 private:
  ChannelSettings Lookup(uint32_t videoChannel) const;

  DEVICE_INFO m_device;
  std::string m_path;
};

}  // namespace telvora
