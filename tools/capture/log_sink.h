// The host's log sink for one device: shows each driver line with its level
// and counts lines by level, "is online" lines (per channel) and
// "Signal was lost" lines. Write is called from every driver thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "console.h"
#include "host/orvalen_host.h"

namespace capture {

struct LogCounts {
  std::map<int, uint64_t> byLevel;
  std::map<uint32_t, uint64_t> onlineByChannel;
  std::map<uint32_t, uint64_t> signalLostByChannel;
};

class DeviceLogSink : public telvora::IHostLogSink {
 public:
  // prefix is put before every line ("" for a single device).
  DeviceLogSink(Console* console, const std::string& prefix) : console_(console), prefix_(prefix) {}

  void Write(CDebugInfoIf* info) override;

  // From now on "is online" lines are shown but not counted: frames still
  // in flight while a channel closes can mark it online once more.
  void BeginClosing();

  // Lines of our own, shown like the driver's but not counted.
  void Note(const std::string& text);

  LogCounts Counts() const;

  static const char* LevelName(int level);
  // The channel a state line names: "(channel N)" in a video-server line, else 0.
  static uint32_t ChannelOfLine(const std::string& text);

 private:
  Console* console_;
  std::string prefix_;
  mutable std::mutex mutex_;
  LogCounts counts_;
  bool closing_ = false;
};

}  // namespace capture
