#include "rtsp/sdp_parser.h"

#include <algorithm>

#include "rtsp/base64.h"
#include "rtsp/text_helpers.h"

namespace telvora {
namespace {

// Decoded parameter sets and configurations larger than this are refused.
constexpr size_t kParameterCapacity = 256;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::string(prefix).size(), prefix) == 0; }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::vector<uint8_t> HexDecode(const std::string& text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 2 + 1);
  size_t i = 0;
  for (; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1])));
  if (i < text.size()) out.push_back(static_cast<uint8_t>(HexDigit(text[i])));
  return out;
}

namespace {

// "a=x-dimensions:1920,1080" or "a=framesize:26 1920-1080": the last two
// numbers of the line. Anything else leaves the size unknown.
void ParseDimensions(const std::string& line, SDP_MEDIA_INFO* record) {
  if (record == nullptr) return;
  uint64_t numbers[2] = {0, 0};
  size_t count = 0;
  bool inNumber = false;
  for (size_t i = line.find(':'); i < line.size(); ++i) {
    const char c = line[i];
    if (c >= '0' && c <= '9') {
      if (!inNumber) {
        numbers[0] = numbers[1];
        numbers[1] = 0;
        ++count;
      }
      inNumber = true;
      numbers[1] = std::min<uint64_t>(numbers[1] * 10 + uint64_t(c - '0'), 0xFFFF);
    } else {
      inNumber = false;
    }
  }
  if (count < 2) return;
  record->width = static_cast<uint32_t>(numbers[0]);
  record->height = static_cast<uint32_t>(numbers[1]);
}

}  // namespace

SDP_MEDIA_INFO* CSDPResponseParser::Current() {
  switch (m_kind) {
    case kVideo: return &m_info.video;
    case kAudio: return &m_info.audio;
    case kMetadata: return &m_info.metadata;
    default: return nullptr;
  }
}

bool CSDPResponseParser::ParseSdp(const std::string& text) {
  m_info.Clear();
  m_kind = kNone;
  for (const std::string& line : SplitLines(text)) {
    const std::string lower = ToLower(line);
    bool ok = true;
    if (StartsWith(lower, "m=")) ok = ParseMedia(line);
    else if (StartsWith(lower, "c=in")) ok = ParseConnection(line);
    else if (StartsWith(lower, "a=control")) ok = ParseControl(line);
    else if (StartsWith(lower, "a=fmtp")) ok = ParseFmtp(line);
    else if (StartsWith(lower, "a=rtpmap")) ok = ParseRtpmap(line);
    else if (StartsWith(lower, "a=x-dimensions:") || StartsWith(lower, "a=framesize:")) ParseDimensions(line, Current());
    if (!ok) return false;
  }
  return true;
}

bool CSDPResponseParser::ParseMedia(const std::string& line) {
  m_kind = kNone;
  const std::string value = ExtractValue(line, "m", "=", "\r\n");
  const std::vector<std::string> words = Split(value, ' ');
  if (words.empty() || words[0].empty()) return false;
  const std::string media = ToLower(words[0]);
  if (media == "video") m_kind = kVideo;
  else if (media == "audio") m_kind = kAudio;
  else if (media == "metadata" || media == "data" || media == "application") m_kind = kMetadata;
  SDP_MEDIA_INFO* record = Current();
  if (record != nullptr && words.size() >= 3) {
    record->port = static_cast<uint16_t>(LeadingNumber(words[1], 0xFFFFFFFFull) & 0xFFFF);
    record->protocol = words[2];
  }
  return true;
}

bool CSDPResponseParser::ParseConnection(const std::string& line) {
  const std::vector<std::string> words = Split(ExtractValue(line, "c", "=", "\r\n"), ' ');
  if (words.size() < 3 || words[0] != "IN") return false;
  if (words[1] == "IP4") {
    const std::string address = words[2].substr(0, words[2].find('/'));
    SDP_MEDIA_INFO* record = Current();
    if (record != nullptr) record->connectionAddress = address;
    return !address.empty();
  }
  return words[1] == "IP6";
}

bool CSDPResponseParser::ParseControl(const std::string& line) {
  static const std::string kKey = "a=control:";
  const size_t at = line.find(kKey);
  const std::string value = at == std::string::npos ? std::string() : line.substr(at + kKey.size());
  SDP_MEDIA_INFO* record = Current();
  if (record != nullptr) record->control = value;
  return !value.empty();
}

bool CSDPResponseParser::ParseRtpmap(const std::string& line) {
  const std::string value = ExtractValue(line, "a=rtpmap", ":", "\r\n");
  if (value.empty()) return m_kind != kVideo;
  const std::vector<std::string> words = Split(value, ' ');
  if (words.size() < 2) return false;
  SDP_MEDIA_INFO* record = Current();
  if (record != nullptr) record->rtpmap = words[1];
  return true;
}

bool CSDPResponseParser::ParseFmtp(const std::string& line) {
  if (m_kind == kVideo) return ParseVideoParameters(line);
  return m_kind == kAudio || m_kind == kMetadata;
}

bool CSDPResponseParser::ParseVideoParameters(const std::string& line) {
  const std::string sets = ExtractValue(line, "sprop-parameter-sets", "=", " ;\r\n");
  if (!sets.empty()) {
    if (!m_info.parameterSet1.empty() || !m_info.parameterSet2.empty()) return true;
    const std::vector<std::string> entries = Split(sets, ',');
    if (entries.size() < 2) return true;
    Base64Decode(entries[0], kParameterCapacity, m_info.parameterSet1);
    Base64Decode(entries[1], kParameterCapacity, m_info.parameterSet2);
    return !m_info.parameterSet1.empty() && !m_info.parameterSet2.empty();
  }
  const std::string config = ExtractValue(line, "config", "=", " ;\r\n");
  if (config.empty() || !m_info.config.empty()) return true;
  if (config.find('=') != std::string::npos)
    Base64Decode(config, kParameterCapacity, m_info.config);
  else
    m_info.config = HexDecode(config);
  return !m_info.config.empty();
}

}  // namespace telvora
