#include "scale_search.h"

#include <algorithm>

namespace ingest {

ScaleSearch::ScaleSearch(int start, int cap) : m_cap(std::max(cap, 1)), m_next(std::max(1, std::min(start, cap))) {}

void ScaleSearch::Report(bool passed) {
  if (m_next == 0) return;
  ++m_trials;
  if (passed) m_pass = m_next;
  else m_fail = m_next;
  if (m_fail == 0) {
    m_next = m_pass >= m_cap ? 0 : std::min(m_pass * 2, m_cap);
  } else {
    m_next = (m_pass + m_fail) / 2;
    if (m_fail - m_pass <= std::max(2, m_pass / 10) || m_next <= m_pass) m_next = 0;
  }
  if (m_trials >= kMaxTrials) m_next = 0;
}

}  // namespace ingest
