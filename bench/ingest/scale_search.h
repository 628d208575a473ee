// The bounded search of --scale: doubling from a start until a trial fails
// (or the cap passes), then halving the interval between the largest pass
// and the smallest fail until it is within 10 % (at least 2 streams), in at
// most kMaxTrials trials.
#pragma once

namespace ingest {

class ScaleSearch {
 public:
  static constexpr int kMaxTrials = 12;
  ScaleSearch(int start, int cap);

  // The stream count of the next trial; 0 when the search is over.
  int Next() const { return m_next; }
  void Report(bool passed);

  int LargestPass() const { return m_pass; }
  int SmallestFail() const { return m_fail; }  // 0 while none failed
  int Trials() const { return m_trials; }

 private:
  int m_cap;
  int m_pass = 0;
  int m_fail = 0;
  int m_trials = 0;
  int m_next;
};

}  // namespace ingest
