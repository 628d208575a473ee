#include "channels/time_stamp_converter.h"

#include <algorithm>

#include "threading/time.h"

namespace telvora {
namespace {

constexpr uint64_t kTicksPer90kHz = 111;  // one 90 kHz tick in 100-ns units
constexpr uint64_t kOneSecond = 10000000;
constexpr uint64_t kOneMs = 10000;
constexpr uint64_t kFourMs = 40000;
constexpr uint64_t kLeadLimit = 2500000;  // 250 ms
constexpr size_t kLearningSamples = 100;
// Longer than any frame interval: a wall clock that moves further between
// two frames was set, not run.
constexpr uint64_t kClockStepLimit = 10 * kOneSecond;

}  // namespace

CTimeStampConverter::CTimeStampConverter() : m_outputTime(0), m_lastTimestamp(0), m_lead(0), m_lastWallTime(0) {}

void CTimeStampConverter::Reset() {
  m_outputTime = 0;
  m_lastTimestamp = 0;
  m_lead = 0;
  m_ticks.Clear();
  m_wall.Clear();
  m_lastWallTime = 0;
}

void CTimeStampConverter::Resynchronise(uint32_t rtpTimestamp, uint64_t now) {
  m_outputTime = now;
  m_lead = 0;
  m_lastWallTime = now;
  m_lastTimestamp = rtpTimestamp;
}

void CTimeStampConverter::Update(uint32_t rtpTimestamp) { Update(rtpTimestamp, GetCurrentFileTime()); }

void CTimeStampConverter::Update(uint32_t ts, uint64_t now) {
  if (now == 0 || m_outputTime == 0 || m_lastTimestamp == 0) {
    Resynchronise(ts, now);
    return;
  }
  if (now < m_lastWallTime || now - m_lastWallTime > kClockStepLimit) {
    // The rate learnt so far measured the old clock; frame times follow the
    // new one from this frame on.
    Reset();
    Resynchronise(ts, now);
    return;
  }
  bool force = false;
  if (ts > m_lastTimestamp) {
    const uint32_t d = ts - m_lastTimestamp;
    m_ticks.Add(d);
    if (now >= m_lastWallTime) m_wall.Add(static_cast<unsigned>((now - m_lastWallTime) & 0xFFFFFFFFu));
    if (m_ticks.GetCount() <= kLearningSamples) {
      const uint64_t increment = static_cast<uint64_t>(d) * kTicksPer90kHz;
      if (increment >= kOneSecond) {
        Resynchronise(ts, now);
        return;
      }
      m_outputTime += increment;
      force = m_ticks.GetCount() == kLearningSamples;
    } else {
      const double meanWall = m_wall.GetMean();
      const double meanTicks = m_ticks.GetMean();
      uint64_t increment = meanTicks > 0.0 ? static_cast<uint64_t>(static_cast<double>(d) * meanWall / meanTicks + 0.5) : 0;
      if (m_lead > kOneMs && increment > kFourMs) {
        const uint64_t step = std::min(std::max<uint64_t>(increment / 10, kOneMs), m_lead);
        increment -= step;
        m_lead -= step;
      }
      m_outputTime += increment;
    }
  } else {
    m_outputTime = std::max(m_outputTime + kOneMs, now);
    force = true;
  }
  if (now >= m_outputTime) {
    Resynchronise(ts, now);
    return;
  }
  const uint64_t lead = m_outputTime - now;
  if (force || lead > kLeadLimit) m_lead = lead;
  m_lastWallTime = now;
  m_lastTimestamp = ts;
}

void CTimeStampConverter::GetTime(SYSTEMTIME& out) const {
  if (m_outputTime == 0 || m_lastTimestamp == 0 || !FileTime64ToSystemTime(out, m_outputTime))
    GetCurrentSystemTime(out);
}

}  // namespace telvora
