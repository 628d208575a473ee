// The seeded schedule of faults: which fault hits which channel or camera
// when, decided up front so that a run can be told and repeated.
#pragma once

#include <string>
#include <vector>

#include "soak_lab.h"
#include "soak_sink.h"

namespace soak {

struct Event {
  double atS;
  Kind kind;
  int target;      // camera for a restart or a nonce rotation, none for a clock step, else channel
  long stepS = 0;  // a clock step's seconds, forward or back
};

inline bool TargetsCamera(Kind k) { return k == Kind::kRestart || k == Kind::kRotateNonce; }

inline std::string TargetName(const Event& e) {
  if (e.kind == Kind::kStepClock) return std::string("all ") + (e.stepS > 0 ? "+" : "") + std::to_string(e.stepS) + "s";
  return (TargetsCamera(e.kind) ? "camera " : "ch") + std::to_string(e.target);
}

// How long a fault without an outage of its own is watched: a nonce
// rotation until every session's next keep-alive went through (Digest
// cameras announce a 10 s session time-out, kept alive every 5 s; the
// driver checks every 2 s), a clock step until the stamps were judged.
constexpr double kRotateWatchS = 10;
constexpr double kStepWatchS = 5;

struct ScheduleOptions {
  unsigned seed;
  double minutes;
  double intervalS;
  bool netns;  // change-address and restart-sender exist only there
};

// What the schedule needs to know of a channel.
struct ChannelPlace {
  int index;
  int camera;  // -1 for a multicast channel
  bool udp;
  bool multicast;
  bool named;  // reaches its camera by a name that can move
};

// A target is not hit again until the last fault had time to pass and
// recover.
std::vector<Event> Schedule(const ScheduleOptions& o, const std::vector<ChannelPlace>& channels,
                            const std::vector<LabCamera>& cameraKinds, double warmupS);

}  // namespace soak
