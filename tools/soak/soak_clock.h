// A wall clock that the soak can step for the whole process, the driver
// included: this program defines clock_gettime and time itself and adds an
// offset to the realtime clocks. Every other clock, the steady clock the
// soak times itself on among them, passes through untouched.
#pragma once

#include <cstdint>

namespace soak {

// Moves the process's wall clock by the seconds given, forward or back.
void StepWallClock(int64_t seconds);
// The sum of all steps so far, in seconds.
int64_t WallClockOffset();

}  // namespace soak
