#include "channels/time_stamp_converter.h"

#include <gtest/gtest.h>

#include <vector>

#include "channels/statistics_helper.h"
#include "threading/time.h"

namespace telvora {
namespace {

// 2026-01-01 00:00:00 UTC in 100-ns ticks since 1601.
const uint64_t kT0 = 134116992000000000ull;
const uint64_t kMs = 10000;

TEST(StatisticsHelper, KeepsTheLastSamplesOfItsWindow) {
  TStatisticsHelper<unsigned> stats(3);
  for (unsigned v : {1u, 2u, 3u, 4u, 5u}) stats.Add(v);
  EXPECT_EQ(stats.GetCount(), 3u);
  EXPECT_DOUBLE_EQ(stats.GetSum(), 12.0);
  EXPECT_DOUBLE_EQ(stats.GetMean(), 4.0);
  stats.Clear();
  EXPECT_DOUBLE_EQ(stats.GetMean(), 0.0);
}

// The output time after a run of (RTP time stamp, wall clock) updates.
TEST(TimeStampConverter, OutputTimeFollowsTheUpdates) {
  struct Update {
    uint32_t ts;
    uint64_t wall;
  };
  const struct {
    const char* name;
    std::vector<Update> updates;
    uint64_t output;
  } kCases[] = {
      {"first update takes the wall clock", {{1000, kT0}}, kT0},
      // The wall clock stands still, so each frame leads it by one more
      // step of 111 ticks per RTP tick.
      {"learning, one frame", {{1000, kT0}, {4600, kT0 + 1}}, kT0 + 399600},
      {"learning, two frames", {{1000, kT0}, {4600, kT0 + 1}, {8200, kT0 + 2}}, kT0 + 2 * 399600},
      // 40 ms of RTP time, but 100 ms of wall time passed.
      {"never behind the wall clock", {{1000, kT0}, {4600, kT0 + 100 * kMs}}, kT0 + 100 * kMs},
      // 90091 ticks x 111 = 10,000,101 (over one second); 90090 stays below.
      {"step just under a second", {{1000, kT0}, {1000 + 90090, kT0 + 1}}, kT0 + 90090ull * 111},
      {"step over a second resynchronises", {{1000, kT0}, {1000 + 90091, kT0 + 1}}, kT0 + 1},
      {"repeated time stamp adds 1 ms", {{1000, kT0}, {4600, kT0 + 1}, {4600, kT0 + 2}}, kT0 + 399600 + kMs},
      {"repeat once the wall clock passed the output: the wall clock",
       {{1000, kT0}, {4600, kT0 + 1}, {4600, kT0 + 2}, {4600, kT0 + 500 * kMs}}, kT0 + 500 * kMs},
  };
  for (const auto& k : kCases) {
    SCOPED_TRACE(k.name);
    CTimeStampConverter c;
    for (const Update& u : k.updates) c.Update(u.ts, u.wall);
    EXPECT_EQ(c.GetOutputTime(), k.output);
    if (k.output == k.updates.back().wall) {
      EXPECT_EQ(c.GetLead(), 0u);
    }
  }
}

TEST(TimeStampConverter, FollowsTheMeasuredRateAfterLearning) {
  // A sender whose clock runs 1% fast: 3636 ticks per 40 ms of wall time.
  CTimeStampConverter c;
  uint64_t wall = kT0;
  uint32_t ts = 5000;
  c.Update(ts, wall);
  for (int i = 0; i < 300; ++i) {
    ts += 3636;
    wall += 40 * kMs;
    c.Update(ts, wall);
  }
  // Once the ratio is learnt, each frame advances by the wall-clock period
  // and the time never drifts away from the wall clock.
  const uint64_t before = c.GetOutputTime();
  ts += 3636;
  wall += 40 * kMs;
  c.Update(ts, wall);
  const uint64_t step = c.GetOutputTime() - before;
  EXPECT_NEAR(static_cast<double>(step), 400000.0, 400000.0 * 0.11);
  EXPECT_GE(c.GetOutputTime(), wall);
  EXPECT_LT(c.GetOutputTime() - wall, 300 * kMs);
}

TEST(TimeStampConverter, ResetRestartsFromTheWallClock) {
  CTimeStampConverter c;
  c.Update(1000, kT0);
  c.Update(4600, kT0 + 1);
  c.Reset();
  EXPECT_EQ(c.GetOutputTime(), 0u);
  c.Update(99999, kT0 + 5 * kMs);
  EXPECT_EQ(c.GetOutputTime(), kT0 + 5 * kMs);
}

TEST(TimeStampConverter, GetTimeBeforeAnyUpdateIsTheWallClock) {
  CTimeStampConverter c;
  SYSTEMTIME st;
  c.GetTime(st);
  const uint64_t got = SystemTimeToFileTime64(st);
  const uint64_t now = GetCurrentFileTime();
  EXPECT_LE(now - got, 1000 * kMs);
  c.Update(1000, kT0);
  c.GetTime(st);
  EXPECT_EQ(st.wYear, 2026);
  EXPECT_EQ(st.wMonth, 1);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wHour, 0);
}

TEST(TimeStampConverter, LeadIsRecordedPast250MsOrAtTheHundredthSample) {
  struct Case {
    const char* name;
    uint64_t wallStep;  // per frame of 3600 ticks (39.96 ms of output time)
    int frames;
    uint64_t lead;
  };
  const Case kCases[] = {
      // The wall clock stands still: the lead is taken once it passes 250 ms.
      {"six frames ahead", 0, 6, 0},
      {"seven frames ahead", 0, 7, 7 * 399600 - 7},
      // 0.96 ms gained per frame: below 250 ms the lead is taken only with
      // the hundredth sample, which ends the learning phase.
      {"99 samples", 390000, 99, 0},
      {"100 samples", 390000, 100, 100 * 9600},
  };
  for (const Case& c : kCases) {
    CTimeStampConverter conv;
    uint64_t wall = kT0;
    uint32_t ts = 1000;
    conv.Update(ts, wall);
    for (int i = 0; i < c.frames; ++i) {
      ts += 3600;
      wall += c.wallStep == 0 ? 1 : c.wallStep;
      conv.Update(ts, wall);
    }
    EXPECT_EQ(conv.GetLead(), c.lead) << c.name;
  }
}

TEST(TimeStampConverter, LeadIsWornDownAfterLearning) {
  CTimeStampConverter conv;
  uint64_t wall = kT0;
  uint32_t ts = 1000;
  conv.Update(ts, wall);
  for (int i = 0; i < 100; ++i) {
    ts += 3600;
    wall += 390000;
    conv.Update(ts, wall);
  }
  ASSERT_EQ(conv.GetLead(), 960000u);
  // The measured increment is 39 ms; a tenth of it comes off the lead.
  const uint64_t before = conv.GetOutputTime();
  conv.Update(ts + 3600, wall + 390000);
  EXPECT_EQ(conv.GetOutputTime(), before + 351000);
  EXPECT_EQ(conv.GetLead(), 921000u);
  EXPECT_EQ(conv.GetOutputTime() - (wall + 390000), 921000u) << "the lead is the real one";
}

TEST(TimeStampConverter, OlderTimestampOrUnknownClockNeverGoesBack) {
  CTimeStampConverter conv;
  conv.Update(100000, kT0);
  conv.Update(103600, kT0 + 1);
  const uint64_t ahead = conv.GetOutputTime();
  // A timestamp from before (reordering, or the 32-bit wrap): +1 ms.
  conv.Update(50, kT0 + 2);
  EXPECT_EQ(conv.GetOutputTime(), ahead + kMs);
  // Counting goes on from the older timestamp.
  conv.Update(50 + 3600, kT0 + 3);
  EXPECT_EQ(conv.GetOutputTime(), ahead + kMs + 399600);
  // No wall clock: resynchronised to it, and the time reads as "now".
  conv.Update(50 + 7200, 0);
  EXPECT_EQ(conv.GetOutputTime(), 0u);
  SYSTEMTIME st;
  conv.GetTime(st);
  EXPECT_LE(GetCurrentFileTime() - SystemTimeToFileTime64(st), 1000 * kMs);
}

TEST(TimeStampConverter, FollowsAStepOfTheWallClockAtTheNextFrame) {
  const int64_t kHour = 36000000000ll;
  for (int64_t step : {kHour, -kHour}) {
    SCOPED_TRACE(step);
    CTimeStampConverter conv;
    uint32_t ts = 1000;
    uint64_t wall = kT0;
    for (int i = 0; i < 150; ++i, ts += 3600, wall += 400000) conv.Update(ts, wall);
    wall += static_cast<uint64_t>(step);
    conv.Update(ts, wall);
    EXPECT_EQ(conv.GetOutputTime(), wall);
    // And the frames after it run on at the sender's pace from there.
    conv.Update(ts + 3600, wall + 1);
    EXPECT_EQ(conv.GetOutputTime(), wall + 399600);
  }
}

}  // namespace
}  // namespace telvora
