#include "accounting.h"

#include <algorithm>
#include <cmath>

namespace ingest {

Accounting Account(const std::vector<SentStream>& sent, const std::vector<Arrival>& arrivals) {
  Accounting a;
  std::vector<std::vector<bool>> seen(sent.size());
  std::vector<size_t> firstExpected(sent.size(), 0);
  for (size_t s = 0; s < sent.size(); ++s) {
    const size_t count = sent[s].lastPacketNs.size();
    seen[s].assign(count, false);
    size_t first = 1;
    while (first < count && !sent[s].key[first]) ++first;
    firstExpected[s] = std::min(first, count);
    a.sent += count;
    a.startup += firstExpected[s];
  }
  a.expected = a.sent - a.startup;
  for (const Arrival& arrival : arrivals) {
    if (arrival.stream >= sent.size() || arrival.frame >= seen[arrival.stream].size()) {
      ++a.unknown;
      continue;
    }
    if (seen[arrival.stream][arrival.frame]) {
      ++a.duplicates;
      continue;
    }
    seen[arrival.stream][arrival.frame] = true;
    ++a.delivered;
    a.latencyMs.push_back(double(arrival.ns - sent[arrival.stream].lastPacketNs[arrival.frame]) / 1e6);
  }
  for (size_t s = 0; s < sent.size(); ++s)
    for (size_t f = firstExpected[s]; f < seen[s].size(); ++f)
      if (!seen[s][f]) ++a.lost;
  std::sort(a.latencyMs.begin(), a.latencyMs.end());
  return a;
}

double Quantile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  if (p <= 0) return sorted.front();
  if (p >= 1) return sorted.back();
  const size_t rank = static_cast<size_t>(std::ceil(p * double(sorted.size())));
  return sorted[rank == 0 ? 0 : rank - 1];
}

}  // namespace ingest
