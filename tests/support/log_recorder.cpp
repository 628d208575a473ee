#include "support/log_recorder.h"

#include <cstdio>
#include <thread>

#include "support/wait_until.h"

namespace telvora {
namespace test {

void LogRecorder::Add(int level, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.emplace_back(level, text);
  if (m_echo) std::fprintf(stderr, "[log %d] %s\n", level, text.c_str());
}

std::vector<std::pair<int, std::string>> LogRecorder::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

size_t LogRecorder::Count(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const auto& line : m_lines)
    if (line.second.find(fragment) != std::string::npos) ++n;
  return n;
}

size_t LogRecorder::CountAtLevel(int level, const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const auto& line : m_lines)
    if (line.first == level && line.second.find(fragment) != std::string::npos) ++n;
  return n;
}

bool LogRecorder::WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Contains(fragment); }, timeout);
}

void LogRecorder::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
}

}  // namespace test
}  // namespace telvora
