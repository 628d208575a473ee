// Which benchmark is measured against which baseline: BM_<X> against
// BM_<X>_Memcpy, or, failing that, against the baseline of the name cut
// back one word at a time (BM_H264_FuA against BM_H264_Memcpy).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bench {

struct RatioPair {
  std::string name;  // without the BM_ prefix
  double rate = 0;
  double baseline = 0;
};

// rates: bytes per second by function name. In name order; benchmarks
// without a baseline are left out.
inline std::vector<RatioPair> PairWithBaselines(const std::map<std::string, double>& rates) {
  const std::string suffix = "_Memcpy";
  std::vector<RatioPair> pairs;
  for (const auto& entry : rates) {
    const std::string& name = entry.first;
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      continue;
    std::string base = name;
    for (;;) {
      auto found = rates.find(base + suffix);
      if (found != rates.end()) {
        if (found->second > 0) {
          const std::string shown = name.compare(0, 3, "BM_") == 0 ? name.substr(3) : name;
          pairs.push_back(RatioPair{shown, entry.second, found->second});
        }
        break;
      }
      const size_t cut = base.rfind('_');
      if (cut == std::string::npos || cut <= 3) break;
      base.resize(cut);
    }
  }
  return pairs;
}

}  // namespace bench
