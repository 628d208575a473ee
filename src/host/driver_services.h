// What the driver object offers to every channel, depacketizer and RTSP
// client: device data, parameters, the host's frame allocator and the log.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "host/debug_message.h"
#include "host/orvalen_host.h"

namespace telvora {

struct DEVICE_INFO {
  DEVICE_INFO(const std::string& address_, uint16_t port_, const std::string& userName_,
              const std::string& password_)
      : address(address_), port(port_), userName(userName_), password(password_) {}
  DEVICE_INFO(const DEVICE_INFO&) = default;
  DEVICE_INFO& operator=(const DEVICE_INFO&) = default;
  virtual ~DEVICE_INFO() {}

  uint32_t timeoutMs = 5000;         // capture threads get twice this to stop
  uint32_t noDataTimeoutMs = 15000;  // no frame for this long means signal lost
  std::string address;
  uint16_t port = 80;
  std::string userName;
  std::string password;
  std::string deviceModel;
};

class IDriver : public IDebugMessage {
 public:
  virtual std::string GetDriverName() = 0;
  virtual std::string GetHostDirectory() = 0;
  // Owned by the driver, fixed between Open and Close.
  virtual DEVICE_INFO* GetDeviceInfo() = 0;
  virtual std::pair<uint32_t, uint32_t> GetModelValues() = 0;
  virtual IFrameAllocator* GetFrameAllocator() = 0;
  virtual uint32_t GetReservedValue() = 0;
  virtual uint32_t GetConnectionValue() = 0;
  virtual uint32_t GetChannelCount() = 0;
  // "" when missing or "(none)".
  virtual std::string GetParameter(uint32_t index) = 0;
  // 0x80000000 when missing or not a decimal number.
  virtual int32_t GetParameterNumber(uint32_t index) = 0;
  // Keep the driver alive for a capture thread that a close left running,
  // past the host's delete; each Hold is ended by one ReleaseHold, which may
  // come from that thread.
  virtual void Hold() {}
  virtual void ReleaseHold() {}
};

class IVideoChannelCreator {
 public:
  virtual ~IVideoChannelCreator() {}
  // The caller owns the returned channel; null when none can be made.
  virtual ICameraChannel* CreateVideoChannel(uint32_t channel, IHostFrameSink* sink,
                                             const CHANNEL_SETTINGS* settings) = 0;
  virtual ISecondaryChannel* CreateSecondaryChannel(uint32_t channel, IHostFrameSink* sink) = 0;
  virtual IEdgeMonitor* CreateEdgeMonitor() = 0;
};

}  // namespace telvora
