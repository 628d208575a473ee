// SYSTEMTIME as the host knows it. On Windows it is the system's own type;
// elsewhere the public header's struct with the same layout.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// Portable code uses std::min and std::max.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
// The public header defines it with that layout.
#include "host/orvalen_host.h"
#endif
