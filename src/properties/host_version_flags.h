// What the running host's core library version allows in capability texts.
#pragma once

namespace telvora {

struct HOST_VERSION_FLAGS {
  bool highRateHost = false;    // 6.4 or later: rates above 30 fps as tagged rates
  bool streamTextHost = false;  // 6.1 or later: live and remote stream texts
};

// Both flags false when the version cannot be read (on POSIX: without
// BRENLOW_VERSION in the environment).
HOST_VERSION_FLAGS ReadHostVersionFlags();

}  // namespace telvora
