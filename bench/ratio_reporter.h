// A console reporter that pairs each benchmark BM_<X> with its baseline
// BM_<X>_Memcpy of the same run and prints their bytes-per-second ratio at
// the end, so that a figure is always read beside its own baseline.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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
    const std::string suffix = "_Memcpy";
    for (const auto& entry : m_rates) {
      const std::string& name = entry.first;
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        continue;
      std::string base = name;
      // BM_H264_FuA pairs with BM_H264_Memcpy: try the full name first,
      // then the name cut back one word at a time.
      double baseline = 0;
      for (;;) {
        auto found = m_rates.find(base + suffix);
        if (found != m_rates.end()) {
          baseline = found->second;
          break;
        }
        const size_t cut = base.rfind('_');
        if (cut == std::string::npos || cut <= 3) break;
        base.resize(cut);
      }
      if (baseline <= 0) continue;
      std::printf("%s / memcpy: %.4g GB/s / %.4g GB/s = %.3g\n", name.c_str() + 3, entry.second / 1e9,
                  baseline / 1e9, entry.second / baseline);
    }
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
