// A sliding window over the most recent samples, with their running sum.
#pragma once

#include <cstdint>
#include <cstddef>
#include <deque>

namespace telvora {

template <typename T>
class TStatisticsHelper {
 public:
  explicit TStatisticsHelper(uint32_t windowSize = 1000) : m_sum(0.0), m_windowSize(windowSize) {}
  virtual ~TStatisticsHelper() {}

  void Add(T value) {
    while (!m_samples.empty() && m_samples.size() >= m_windowSize) {
      m_sum -= static_cast<double>(m_samples.front());
      m_samples.pop_front();
    }
    m_sum += static_cast<double>(value);
    m_samples.push_back(value);
  }
  void Clear() {
    m_samples.clear();
    m_sum = 0.0;
  }
  size_t GetCount() const { return m_samples.size(); }
  double GetSum() const { return m_sum; }
  // 0 for an empty window.
  double GetMean() const { return m_samples.empty() ? 0.0 : m_sum / static_cast<double>(m_samples.size()); }

 private:
  std::deque<T> m_samples;
  double m_sum;
  uint32_t m_windowSize;
};

}  // namespace telvora
