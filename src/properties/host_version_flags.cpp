#include "properties/host_version_flags.h"

#include "platform/module.h"

namespace telvora {
namespace {

bool AtLeast(const platform::HostVersion& version, unsigned major, unsigned minor) {
  return version.major > major || (version.major == major && version.minor >= minor);
}

}  // namespace

HOST_VERSION_FLAGS ReadHostVersionFlags() {
  HOST_VERSION_FLAGS flags;
  platform::HostVersion version{0, 0, 0, 0};
  if (!platform::ReadHostCoreVersion("Brenlow.dll", &version)) return flags;
  flags.highRateHost = AtLeast(version, 6, 4);
  flags.streamTextHost = AtLeast(version, 6, 1);
  return flags;
}

}  // namespace telvora
