// The audio a device offers in one direction.
#pragma once

#include <cstdint>
#include <string>

namespace telvora {

class CAudioCapabilities {
 public:
  virtual ~CAudioCapabilities() {}

  // "Count=%u; IsStereo=%u" as the host reads it.
  std::string GetText() const;

  uint32_t channelCount = 0;  // 0: no audio
  bool stereo = false;
};

}  // namespace telvora
