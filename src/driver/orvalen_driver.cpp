#include "driver/orvalen_driver.h"

#include "driver/channel_factory.h"
#include "driver/device_text.h"

namespace telvora {

COrvalenDriver::~COrvalenDriver() {
  try {
    Close();
  } catch (...) {
  }
}

bool COrvalenDriver::OpenDevice(IHostDevice* device) {
  DEVICE_INFO* info = GetDeviceInfo();
  info->timeoutMs = 5000;
  info->noDataTimeoutMs = 15000;
  IHostConnection* connection = device != nullptr ? device->GetConnection() : nullptr;
  if (connection == nullptr) return false;
  const char* text = connection->GetAddress();
  DEVICE_ADDRESS parsed;
  const bool ok = ParseDeviceAddress(text != nullptr ? text : "", &parsed);
  // With user info the raw text holds a password: it must not stay as the
  // address, which names the device in every log line.
  if (!parsed.host.empty() || parsed.hasUserInfo) info->address = parsed.host;
  if (!ok) return false;
  if (parsed.hasUserInfo && info->userName.empty() && info->password.empty()) {
    info->userName = parsed.userName;
    info->password = parsed.password;
  }
  if (parsed.hasPort) info->port = parsed.port;
  LogDriverOpened("");
  return true;
}

ICameraChannel* COrvalenDriver::CreateVideoChannel(uint32_t channel, IHostFrameSink* sink,
                                                   const CHANNEL_SETTINGS* /*settings*/) {
  if (sink == nullptr) return nullptr;
  try {
    return NewCameraChannel(IsRtpOnlyDevice(), channel, this, sink);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace telvora
