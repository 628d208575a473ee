#include "host_device.h"

namespace capture {

HostDevice::HostDevice(const std::string& address, uint16_t port, const std::string& user,
                       const std::string& password, const std::string& model, uint32_t inputs)
    : address_(address), port_(port), user_(user), password_(password), model_(model), inputs_(inputs) {}

const char* HostDevice::GetDeviceParameter(uint32_t index) {
  auto found = parameters_.find(index);
  return found == parameters_.end() ? nullptr : found->second.c_str();
}

}  // namespace capture
