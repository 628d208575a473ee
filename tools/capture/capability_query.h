// --capabilities: runs the driver's capability query for one URL through
// its exports and prints what the driver wrote, as JSON, on stdout.
#pragma once

#include <string>

#include "capture_options.h"

namespace capture {

// Returns the exit status: 0 when the query completed, 1 when it failed,
// timed out or the exports are missing (with a message on stderr).
int RunCapabilityQuery(void* driverLibrary, const CameraUrl& url);

}  // namespace capture
