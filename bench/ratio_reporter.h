// A console reporter that pairs each benchmark BM_<X> with its baseline
// BM_<X>_Memcpy of the same run and prints their bytes-per-second ratio at
// the end, so that a figure is always read beside its own baseline.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ratio_pairs.h"

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      m_rates[run.run_name.function_name] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // One line per pair: "<X> / memcpy: 1.23 GB/s / 9.87 GB/s = 0.125" (GB = 1e9 bytes).
  void PrintRatios() const {
    for (const RatioPair& p : PairWithBaselines(m_rates))
      std::printf("%s / memcpy: %.4g GB/s / %.4g GB/s = %.3g\n", p.name.c_str(), p.rate / 1e9, p.baseline / 1e9,
                  p.rate / p.baseline);
  }

 private:
  std::map<std::string, double> m_rates;
};

}  // namespace bench

// main() for a benchmark file that uses the reporter.
#define BENCH_MAIN_WITH_RATIOS()                           \
  int main(int argc, char** argv) {                        \
    benchmark::Initialize(&argc, argv);                    \
    bench::RatioReporter reporter;                         \
    benchmark::RunSpecifiedBenchmarks(&reporter);          \
    benchmark::Shutdown();                                 \
    reporter.PrintRatios();                                \
    return 0;                                              \
  }
