#include "console.h"

#include <cstdio>

namespace capture {

void Console::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inPlace_ && !status_.empty()) {
    std::fprintf(stdout, "\r\033[K%s\n%s", text.c_str(), status_.c_str());
  } else {
    std::fprintf(stdout, "%s\n", text.c_str());
  }
  std::fflush(stdout);
}

void Console::Status(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inPlace_) {
    status_ = text;
    std::fprintf(stdout, "\r\033[K%s", text.c_str());
  } else {
    std::fprintf(stdout, "%s\n", text.c_str());
  }
  std::fflush(stdout);
}

void Console::FinishStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inPlace_ && !status_.empty()) {
    std::fprintf(stdout, "\n");
    std::fflush(stdout);
  }
  status_.clear();
}

}  // namespace capture
