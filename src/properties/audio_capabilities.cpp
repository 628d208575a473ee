#include "properties/audio_capabilities.h"

#include "base/string_format.h"

namespace telvora {

std::string CAudioCapabilities::GetText() const {
  return FormatString("Count=%u; IsStereo=%u", static_cast<unsigned>(channelCount), stereo ? 1u : 0u);
}

}  // namespace telvora
