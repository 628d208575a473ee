#include "soak_schedule.h"

#include <algorithm>
#include <random>

namespace soak {

std::vector<Event> Schedule(const ScheduleOptions& o, const std::vector<ChannelPlace>& channels,
                            const std::vector<LabCamera>& cameraKinds, double warmupS) {
  const int cameras = static_cast<int>(cameraKinds.size());
  std::mt19937 random(o.seed);
  std::vector<double> freeAt(channels.size(), 0);
  std::vector<Event> events;
  const double settleS = 15;
  bool forward = true;
  double nextStepAt = 0;
  for (double t = warmupS; t < warmupS + o.minutes * 60 - settleS; t += o.intervalS) {
    std::vector<Kind> kinds = {Kind::kRestart,   Kind::kReset,  Kind::kStall,       Kind::kLoss,
                               Kind::kHostStall, Kind::kReopen, Kind::kRotateNonce, Kind::kStepClock};
    if (o.netns) kinds.insert(kinds.end(), {Kind::kMove, Kind::kSender});
    Kind kind = kinds[random() % kinds.size()];
    if (kind == Kind::kStepClock) {
      // Every channel at once; the next faults wait until it was watched.
      if (t < nextStepAt) continue;
      nextStepAt = t + kStepWatchS + 1;
      const long seconds = 5 + static_cast<long>(random() % 596);
      events.push_back({t, kind, -1, forward ? seconds : -seconds});
      forward = !forward;
      for (double& at : freeAt) at = std::max(at, t + kStepWatchS + 1);
      continue;
    }
    if (TargetsCamera(kind)) {
      int cam = static_cast<int>(random() % static_cast<unsigned>(cameras));
      if (kind == Kind::kRotateNonce) {
        // Only Digest cameras have nonces; pick among them.
        std::vector<int> digest;
        for (int i = 0; i < cameras; ++i)
          if (cameraKinds[static_cast<size_t>(i)].auth == "digest") digest.push_back(i);
        if (digest.empty()) continue;
        cam = digest[static_cast<size_t>(cam) % digest.size()];
      }
      bool free = true;
      for (const ChannelPlace& c : channels)
        if (c.camera == cam && freeAt[c.index] > t) free = false;
      if (!free) continue;
      for (const ChannelPlace& c : channels)
        if (c.camera == cam) freeAt[c.index] = t + settleS + (kind == Kind::kRotateNonce ? kRotateWatchS : 3);
      events.push_back({t, kind, cam});
      continue;
    }
    std::vector<int> candidates;
    for (const ChannelPlace& c : channels) {
      const bool multicast = c.multicast;
      bool fits = kind == Kind::kLoss ? c.udp || multicast : true;
      if (kind == Kind::kReset || kind == Kind::kStall) fits = !multicast;
      if (kind == Kind::kMove) fits = c.named;
      if (kind == Kind::kSender) fits = multicast;
      if (freeAt[c.index] <= t && fits) candidates.push_back(c.index);
    }
    if (candidates.empty()) continue;
    int ch = candidates[random() % candidates.size()];
    freeAt[ch] = t + settleS + (kind == Kind::kLoss ? 10 : 3);
    events.push_back({t, kind, ch});
  }
  return events;
}

}  // namespace soak
