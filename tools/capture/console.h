// The terminal of orvalen-capture: log lines and the once-a-second status
// line. On a terminal the status line rewrites itself in place; into a pipe
// each status is a plain line. Safe to call from any thread.
#pragma once

#include <mutex>
#include <string>

namespace capture {

class Console {
 public:
  explicit Console(bool statusInPlace) : inPlace_(statusInPlace) {}

  void Line(const std::string& text);
  void Status(const std::string& text);
  // Ends an in-place status line so that later output starts on a new line.
  void FinishStatus();

 private:
  std::mutex mutex_;
  bool inPlace_;
  std::string status_;  // shown at the bottom while in place
};

}  // namespace capture
