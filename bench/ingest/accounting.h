// Frames sent against frames a receiver handed over, matched by their tag
// numbers, and the latency from the last packet of a frame to OnFrame.
// A bare RTP channel waits for the end of one frame and then for a key
// frame before it hands over anything, so per stream the frames before the
// first key frame after frame 0 count as start-up, not as lost.
#pragma once

#include <cstdint>
#include <vector>

#include "null_sink.h"
#include "replayer.h"

namespace ingest {

struct Accounting {
  uint64_t sent = 0;
  uint64_t startup = 0;    // sent before each stream's first expected frame
  uint64_t expected = 0;   // sent - startup
  uint64_t delivered = 0;  // distinct frames handed over, start-up ones included
  uint64_t lost = 0;       // expected and never handed over
  uint64_t duplicates = 0;
  uint64_t unknown = 0;    // a tag no frame of that stream was sent with
  std::vector<double> latencyMs;  // one per matched arrival, sorted
};

Accounting Account(const std::vector<SentStream>& sent, const std::vector<Arrival>& arrivals);

// The p-quantile (0 to 1) of sorted values by the nearest rank; 0 when empty.
double Quantile(const std::vector<double>& sorted, double p);

}  // namespace ingest
