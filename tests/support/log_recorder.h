// Records (level, text) log lines from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace telvora {
namespace test {

class LogRecorder {
 public:
  void Add(int level, const std::string& text);
  std::vector<std::pair<int, std::string>> Lines() const;
  // Lines that contain the fragment.
  size_t Count(const std::string& fragment) const;
  size_t CountAtLevel(int level, const std::string& fragment) const;
  bool Contains(const std::string& fragment) const { return Count(fragment) > 0; }
  // Waits until a line containing the fragment has been logged.
  bool WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) const;
  void Clear();
  // Prints every line to stderr as they arrive (for debugging a test).
  void SetEcho(bool echo) { m_echo = echo; }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::pair<int, std::string>> m_lines;
  bool m_echo = false;
};

}  // namespace test
}  // namespace telvora
