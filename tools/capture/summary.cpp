#include "summary.h"

#include <cstdio>
#include <sstream>

namespace capture {

namespace {

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

std::string CountsJson(const std::map<int, uint64_t>& counts) {
  std::string text = "{";
  bool first = true;
  for (const auto& entry : counts) {
    if (!first) text += ", ";
    first = false;
    text += "\"" + std::to_string(entry.first) + "\": " + std::to_string(entry.second);
  }
  return text + "}";
}

std::string CodesJson(const std::map<std::string, uint64_t>& codes) {
  std::string text = "{";
  bool first = true;
  for (const auto& entry : codes) {
    if (!first) text += ", ";
    first = false;
    text += JsonString(entry.first) + ": " + std::to_string(entry.second);
  }
  return text + "}";
}

// Sums used by a device of several channels and by the totals.
struct Totals {
  uint64_t frames = 0, keyFrames = 0, bytes = 0, badFrames = 0, signalLost = 0, onlineEvents = 0,
           signalLostLines = 0, streams = 0, streamsWithFrames = 0;
  std::map<std::string, uint64_t> formatCodes;
  double durationS = 0;
  double maxGapMs = 0;

  void Add(const StreamReport& s) {
    frames += s.stats.frames;
    keyFrames += s.stats.keyFrames;
    bytes += s.stats.bytes;
    badFrames += s.stats.badFrames;
    signalLost += s.stats.signalLost;
    onlineEvents += s.onlineEvents;
    signalLostLines += s.signalLostLines;
    ++streams;
    if (s.stats.frames > 0) ++streamsWithFrames;
    for (const auto& code : s.stats.formatCodes) formatCodes[code.first] += code.second;
    if (s.durationS > durationS) durationS = s.durationS;
    if (s.stats.maxGapMs > maxGapMs) maxGapMs = s.stats.maxGapMs;
  }
};

void AddField(std::ostringstream& out, const std::string& pad, const char* name, const std::string& value,
              bool last = false) {
  out << pad << "\"" << name << "\": " << value << (last ? "\n" : ",\n");
}

// A channel of a multi-channel device leaves the device fields out.
void WriteStreamFields(std::ostringstream& out, const std::string& pad, const StreamReport& s,
                       bool withDeviceFields, int64_t notReleased) {
  const StreamStats& st = s.stats;
  AddField(out, pad, "url", JsonString(s.url));
  AddField(out, pad, "channel", std::to_string(s.channel));
  AddField(out, pad, "opened", s.opened ? "true" : "false");
  AddField(out, pad, "codec", JsonString(st.codec));
  AddField(out, pad, "file", JsonString(st.file));
  AddField(out, pad, "frames", std::to_string(st.frames));
  AddField(out, pad, "key_frames", std::to_string(st.keyFrames));
  AddField(out, pad, "bytes", std::to_string(st.bytes));
  AddField(out, pad, "bad_frames", std::to_string(st.badFrames));
  AddField(out, pad, "format_codes", CodesJson(st.formatCodes));
  AddField(out, pad, "width", std::to_string(st.width));
  AddField(out, pad, "height", std::to_string(st.height));
  AddField(out, pad, "first_frame_ms", st.firstFrameMs < 0 ? "null" : Number(st.firstFrameMs));
  AddField(out, pad, "max_gap_ms", Number(st.maxGapMs));
  AddField(out, pad, "duration_s", Number(s.durationS));
  AddField(out, pad, "streamed_s",
           Number(st.frames > 1 ? (st.lastFrameMs - st.firstFrameMs) / 1000.0 : 0.0));
  AddField(out, pad, "first_frame_time", JsonString(st.firstFrameTime));
  AddField(out, pad, "last_frame_time", JsonString(st.lastFrameTime));
  AddField(out, pad, "signal_lost", std::to_string(st.signalLost));
  AddField(out, pad, "signal_lost_lines", std::to_string(s.signalLostLines));
  AddField(out, pad, "online_events", std::to_string(s.onlineEvents));
  if (withDeviceFields) {
    AddField(out, pad, "log", CountsJson(s.log));
    AddField(out, pad, "frames_not_released", std::to_string(notReleased), true);
  } else {
    AddField(out, pad, "log", CountsJson(s.log), true);
  }
}

void WriteTotals(std::ostringstream& out, const std::string& pad, const Totals& t,
                 const std::map<int, uint64_t>& log, int64_t notReleased) {
  AddField(out, pad, "streams", std::to_string(t.streams));
  AddField(out, pad, "streams_with_frames", std::to_string(t.streamsWithFrames));
  AddField(out, pad, "frames", std::to_string(t.frames));
  AddField(out, pad, "key_frames", std::to_string(t.keyFrames));
  AddField(out, pad, "bytes", std::to_string(t.bytes));
  AddField(out, pad, "bad_frames", std::to_string(t.badFrames));
  AddField(out, pad, "format_codes", CodesJson(t.formatCodes));
  AddField(out, pad, "max_gap_ms", Number(t.maxGapMs));
  AddField(out, pad, "duration_s", Number(t.durationS));
  AddField(out, pad, "signal_lost", std::to_string(t.signalLost));
  AddField(out, pad, "signal_lost_lines", std::to_string(t.signalLostLines));
  AddField(out, pad, "online_events", std::to_string(t.onlineEvents));
  AddField(out, pad, "frames_not_released", std::to_string(notReleased));
  AddField(out, pad, "log", CountsJson(log), true);
}

void WriteDevice(std::ostringstream& out, const std::string& pad, const DeviceReport& d) {
  if (d.streams.size() == 1) {
    WriteStreamFields(out, pad, d.streams[0], true, d.framesNotReleased);
    return;
  }
  Totals t;
  for (const StreamReport& s : d.streams) t.Add(s);
  AddField(out, pad, "url", JsonString(d.url));
  AddField(out, pad, "opened", d.opened ? "true" : "false");
  out << pad << "\"channels\": [\n";
  for (size_t i = 0; i < d.streams.size(); ++i) {
    out << pad << "  {\n";
    WriteStreamFields(out, pad + "    ", d.streams[i], false, 0);
    out << pad << "  }" << (i + 1 < d.streams.size() ? ",\n" : "\n");
  }
  out << pad << "],\n";
  WriteTotals(out, pad, t, d.log, d.framesNotReleased);
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Bytes outside ASCII are escaped one by one, so the output is
          // valid JSON whatever a camera sent.
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string DeviceJson(const DeviceReport& device) {
  std::ostringstream out;
  out << "{\n";
  WriteDevice(out, "  ", device);
  out << "}\n";
  return out.str();
}

std::string SummaryJson(const std::vector<DeviceReport>& devices) {
  if (devices.size() == 1) return DeviceJson(devices[0]);
  std::ostringstream out;
  out << "{\n  \"devices\": [\n";
  Totals totals;
  std::map<int, uint64_t> log;
  int64_t notReleased = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    out << "    {\n";
    WriteDevice(out, "      ", devices[i]);
    out << "    }" << (i + 1 < devices.size() ? ",\n" : "\n");
    for (const StreamReport& s : devices[i].streams) totals.Add(s);
    for (const auto& entry : devices[i].log) log[entry.first] += entry.second;
    notReleased += devices[i].framesNotReleased;
  }
  out << "  ],\n  \"totals\": {\n";
  WriteTotals(out, "    ", totals, log, notReleased);
  out << "  }\n}\n";
  return out.str();
}

}  // namespace capture
