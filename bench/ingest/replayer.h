// Sends looped clips to N UDP ports on 127.0.0.1 in real time: frame k of a
// stream starts at start + phase + k / frameRate, and its packets are spread
// evenly over `spread` of the frame interval. Streams are spread evenly over
// one frame interval, as unsynchronized cameras are. For every frame the
// moment its last packet is handed to sendto is kept (CLOCK_MONOTONIC, the
// clock a receiver process reads too). One thread: Run returns when done.
// With a PacketOutput the same packets go to it instead of to UDP ports.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "clip.h"

namespace ingest {

struct StreamPlan {
  uint16_t port = 0;
  const Clip* clip = nullptr;
  uint32_t ssrc = 0;
};

struct SentStream {
  std::vector<int64_t> lastPacketNs;  // per frame sent, in order: just before its last sendto
  std::vector<bool> key;
};

struct ReplayResult {
  std::vector<SentStream> streams;
  uint64_t packets = 0;
  uint64_t sendErrors = 0;
  double maxLateMs = 0;  // worst delay of a packet behind its schedule
  double seconds = 0;    // from the first scheduled packet to the last sent
};

// Where packets go instead of UDP datagrams; called on the pacing thread.
class PacketOutput {
 public:
  virtual ~PacketOutput() {}
  // False when the packet could not be handed on (a send error).
  virtual bool Send(size_t stream, const uint8_t* packet, size_t length) = 0;
};

class Replayer {
 public:
  // spread: share of the frame interval a frame's packets take, 0 to 1.
  Replayer(std::vector<StreamPlan> plan, double spread);

  // Not owned; null (the default) sends UDP datagrams.
  void SetOutput(PacketOutput* output) { m_output = output; }

  // Sends for `seconds` (whole frames only), or until stop is set.
  // False when no socket could be opened.
  bool Run(double seconds, const std::atomic<bool>& stop, ReplayResult* result);

 private:
  std::vector<StreamPlan> m_plan;
  double m_spread;
  PacketOutput* m_output = nullptr;
};

// Monotonic nanoseconds, comparable across processes on this machine.
int64_t MonotonicNs();

}  // namespace ingest
