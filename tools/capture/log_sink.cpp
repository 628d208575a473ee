#include "log_sink.h"

#include <cstdlib>

namespace capture {

const char* DeviceLogSink::LevelName(int level) {
  switch (level) {
    case 1:
      return "error";
    case 2:
      return "warning";
    case 3:
      return "info";
    case 100:
      return "start";
    default:
      return "level";
  }
}

uint32_t DeviceLogSink::ChannelOfLine(const std::string& text) {
  const std::string marker = "(channel ";
  size_t at = text.find(marker);
  if (at == std::string::npos) return 0;
  uint32_t channel = 0;
  for (size_t i = at + marker.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    channel = channel * 10 + static_cast<uint32_t>(text[i] - '0');
    if (channel > 1000000) return 0;
  }
  return channel;
}

void DeviceLogSink::Write(CDebugInfoIf* info) {
  if (info == nullptr) return;
  int level = info->GetLevel();
  const char* raw = info->GetText();
  std::string text = raw != nullptr ? raw : "";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.byLevel[level];
    if (!closing_ && text.find(" is online") != std::string::npos) ++counts_.onlineByChannel[ChannelOfLine(text)];
    if (text.find("Signal was lost") != std::string::npos) ++counts_.signalLostByChannel[ChannelOfLine(text)];
  }
  std::string line = prefix_;
  line += "[";
  line += LevelName(level);
  if (level != 1 && level != 2 && level != 3 && level != 100) line += std::to_string(level);
  line += "] ";
  line += text;
  console_->Line(line);
}

void DeviceLogSink::BeginClosing() {
  std::lock_guard<std::mutex> lock(mutex_);
  closing_ = true;
}

void DeviceLogSink::Note(const std::string& text) { console_->Line(prefix_ + "[capture] " + text); }

LogCounts DeviceLogSink::Counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

}  // namespace capture
