// summary.json: what was recorded, per stream, per device and in total.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stream_recorder.h"

namespace capture {

struct StreamReport {
  std::string url;  // without credentials
  uint32_t channel = 0;
  bool opened = false;  // OpenChannel succeeded
  StreamStats stats;
  double durationS = 0;
  uint64_t onlineEvents = 0;
  uint64_t signalLostLines = 0;
  std::map<int, uint64_t> log;  // lines of the whole device, by level
};

struct DeviceReport {
  std::string url;
  bool opened = false;  // the driver's Open succeeded
  std::vector<StreamReport> streams;
  std::map<int, uint64_t> log;
  int64_t framesNotReleased = 0;
};

// One device with one stream gives that stream's fields at the top level;
// otherwise "devices" (each with "channels" when it has several) and
// "totals".
std::string SummaryJson(const std::vector<DeviceReport>& devices);
// The fields of one device, as written in its own folder.
std::string DeviceJson(const DeviceReport& device);

std::string JsonString(const std::string& text);

}  // namespace capture
