#include <gtest/gtest.h>

#include "ratio_pairs.h"
#include "receiver_outputs.h"
#include "scale_search.h"

namespace ingest {
namespace {

TEST(ScaleSearch, FindsTheLimitWithinTenPercentInBoundedTrials) {
  struct Case {
    int limit;  // the largest count that passes
    int cap;
  };
  const Case kCases[] = {{0, 400}, {1, 400}, {5, 400}, {16, 400}, {17, 400}, {100, 400}, {310, 400},
                         {399, 400}, {400, 400}, {1000, 400}, {3, 2}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.limit);
    ScaleSearch search(16, c.cap);
    int trials = 0;
    while (search.Next() != 0) {
      ASSERT_LE(search.Next(), c.cap);
      search.Report(search.Next() <= c.limit);
      ASSERT_LE(++trials, ScaleSearch::kMaxTrials);
    }
    const int expected = std::min(c.limit, c.cap);
    EXPECT_LE(search.LargestPass(), expected);
    if (expected >= c.cap) {
      EXPECT_EQ(search.LargestPass(), c.cap);
      EXPECT_EQ(search.SmallestFail(), 0);
    } else {
      EXPECT_GT(search.SmallestFail(), expected);
      EXPECT_GE(search.LargestPass(), expected - std::max(2, expected / 10));
    }
  }
}

TEST(ReceiverOutputs, TheLastProgressBlockCounts) {
  const std::string progress =
      "frame=10\nfps=0.0\nprogress=continue\n"
      "frame=260\nfps=25.0\nprogress=continue\n"
      "frame=751\nfps=25.0\nprogress=end\n";
  EXPECT_EQ(LastProgressFrames(progress), 751u);
  EXPECT_EQ(LastProgressFrames("frame=3\n"), 3u);
  EXPECT_EQ(LastProgressFrames("fps=1\nxframe=9\n"), 0u);
  EXPECT_EQ(LastProgressFrames(""), 0u);
}

TEST(ReceiverOutputs, KeyValuesKeepTheFirstLineOfAKey) {
  auto keys = ParseKeyValues("frames 12\nlog 1 first\nlog 2 second\nnoblank\n value\nrss_idle_kib 4160");
  EXPECT_EQ(keys["frames"], "12");
  EXPECT_EQ(keys["log"], "1 first");
  EXPECT_EQ(keys["rss_idle_kib"], "4160");
  EXPECT_EQ(keys.count("noblank"), 0u);
  EXPECT_EQ(keys.size(), 3u);
}

TEST(RatioPairs, EachBenchmarkMeetsItsOwnBaseline) {
  const std::map<std::string, double> rates = {
      {"BM_H264_FuA", 1}, {"BM_H264_Memcpy", 2},         {"BM_H264_StapA", 3}, {"BM_H264_StapA_Memcpy", 4},
      {"BM_Jpeg", 5},     {"BM_Jpeg_Memcpy", 6},         {"BM_Lonely", 7},     {"BM_Zero", 1},
      {"BM_Zero_Memcpy", 0}};
  const auto pairs = bench::PairWithBaselines(rates);
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].name, "H264_FuA");
  EXPECT_EQ(pairs[0].baseline, 2);
  EXPECT_EQ(pairs[1].name, "H264_StapA");
  EXPECT_EQ(pairs[1].baseline, 4);  // not the FU-A stream's baseline
  EXPECT_EQ(pairs[2].name, "Jpeg");
  EXPECT_EQ(pairs[2].baseline, 6);
}

}  // namespace
}  // namespace ingest
