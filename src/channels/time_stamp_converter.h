// Turns RTP timestamps into wall-clock frame times that advance smoothly,
// never fall behind the wall clock, and follow the sender's measured rate.
#pragma once

#include <cstdint>

#include "channels/statistics_helper.h"
#include "base/system_time.h"

namespace telvora {

class CTimeStampConverter {
 public:
  CTimeStampConverter();
  virtual ~CTimeStampConverter() {}

  void Reset();
  // Takes the wall clock from the system.
  void Update(uint32_t rtpTimestamp);
  // now: wall clock in 100-ns ticks since 1601 (0 means unknown).
  void Update(uint32_t rtpTimestamp, uint64_t now);
  // The current frame time; the wall clock before the first update.
  void GetTime(SYSTEMTIME& out) const;

  uint64_t GetOutputTime() const { return m_outputTime; }
  uint64_t GetLead() const { return m_lead; }

 private:
  void Resynchronise(uint32_t rtpTimestamp, uint64_t now);

  uint64_t m_outputTime;
  uint32_t m_lastTimestamp;
  uint64_t m_lead;
  TStatisticsHelper<unsigned> m_ticks;
  TStatisticsHelper<unsigned> m_wall;
  uint64_t m_lastWallTime;
};

}  // namespace telvora
