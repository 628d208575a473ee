#include "rtsp/sdp_parser.h"

#include <algorithm>

#include "rtsp/base64.h"
#include "base/text_helpers.h"

namespace telvora {
namespace {

// Decoded parameter sets and configurations larger than this are refused.
constexpr size_t kParameterCapacity = 256;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

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

// Words separated by runs of blanks or tabs.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    const size_t start = pos;
    while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t') ++pos;
    if (pos > start) words.push_back(text.substr(start, pos - start));
  }
  return words;
}

// The NAL units of a decoded entry: cameras send them bare, or with Annex B
// start codes, sometimes several in one entry.
std::vector<std::vector<uint8_t>> SplitNalUnits(const std::vector<uint8_t>& bytes) {
  std::vector<std::vector<uint8_t>> units;
  std::vector<uint8_t> unit;
  size_t i = 0;
  while (i < bytes.size()) {
    const bool three = i + 2 < bytes.size() && bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1;
    const bool four = i + 3 < bytes.size() && bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 0 && bytes[i + 3] == 1;
    if (three || four) {
      if (!unit.empty()) units.push_back(unit);
      unit.clear();
      i += four ? 4 : 3;
      continue;
    }
    unit.push_back(bytes[i++]);
  }
  if (!unit.empty()) units.push_back(unit);
  return units;
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

bool IsSupportedVideoRtpmap(const std::string& rtpmap) {
  const std::string lower = ToLower(rtpmap);
  return StartsWith(lower, "h264/") || StartsWith(lower, "jpeg/") || StartsWith(lower, "mp4v-es/") ||
         StartsWith(lower, "mpeg4");
}

bool CSDPResponseParser::ParseSdp(const std::string& text) {
  m_info.Clear();
  m_section = Section();
  m_haveVideo = m_videoSupported = m_haveAudio = m_haveMetadata = false;
  for (const std::string& line : SplitLines(text)) {
    const std::string lower = ToLower(line);
    // A line that does not read is skipped: one odd attribute must not
    // cost the whole stream.
    if (StartsWith(lower, "m=")) ParseMedia(line);
    else if (StartsWith(lower, "c=in")) ParseConnection(line);
    else if (StartsWith(lower, "a=control")) ParseControl(line);
    else if (StartsWith(lower, "a=fmtp")) ParseFmtp(line);
    else if (StartsWith(lower, "a=rtpmap")) ParseRtpmap(line);
    else if (StartsWith(lower, "a=x-dimensions:") || StartsWith(lower, "a=framesize:")) {
      if (m_section.kind != kNone) ParseDimensions(line, &m_section.media);
    }
  }
  EndSection();
  return true;
}

void CSDPResponseParser::EndSection() {
  Section& s = m_section;
  if (s.kind == kVideo && !m_videoSupported && (!m_haveVideo || s.supported)) {
    m_info.video = s.media;
    m_info.parameterSet1 = s.parameterSet1;
    m_info.parameterSet2 = s.parameterSet2;
    m_info.config = s.config;
    m_haveVideo = true;
    m_videoSupported = s.supported;
  } else if (s.kind == kAudio && !m_haveAudio) {
    m_info.audio = s.media;
    m_haveAudio = true;
  } else if (s.kind == kMetadata && !m_haveMetadata) {
    m_info.metadata = s.media;
    m_haveMetadata = true;
  }
  m_section = Section();
}

bool CSDPResponseParser::ParseMedia(const std::string& line) {
  EndSection();
  const std::vector<std::string> words = Words(ExtractValue(line, "m", "=", "\r\n"));
  if (words.empty()) return false;
  const std::string media = ToLower(words[0]);
  if (media == "video") m_section.kind = kVideo;
  else if (media == "audio") m_section.kind = kAudio;
  else if (media == "metadata" || media == "data" || media == "application") m_section.kind = kMetadata;
  if (m_section.kind != kNone && words.size() >= 3) {
    m_section.media.port = static_cast<uint16_t>(LeadingNumber(words[1], 0xFFFFFFFFull) & 0xFFFF);
    m_section.media.protocol = words[2];
  }
  return true;
}

bool CSDPResponseParser::ParseConnection(const std::string& line) {
  const std::vector<std::string> words = Words(ExtractValue(line, "c", "=", "\r\n"));
  if (words.size() < 3 || words[0] != "IN") return false;
  if (words[1] != "IP4") return words[1] == "IP6";
  const std::string address = words[2].substr(0, words[2].find('/'));
  if (address.empty()) return false;
  if (m_section.kind != kNone) m_section.media.connectionAddress = address;
  return true;
}

bool CSDPResponseParser::ParseControl(const std::string& line) {
  static const std::string kKey = "a=control:";
  const size_t at = ToLower(line).find(kKey);
  if (at == std::string::npos) return false;
  const std::string value = Trim(line.substr(at + kKey.size()));
  if (value.empty()) return false;
  // The session-level control is the aggregate URL, which the client
  // already has.
  if (m_section.kind != kNone) m_section.media.control = value;
  return true;
}

bool CSDPResponseParser::ParseRtpmap(const std::string& line) {
  const std::vector<std::string> words = Words(ExtractValue(line, "a=rtpmap", ":", "\r\n"));
  if (words.size() < 2 || m_section.kind == kNone) return false;
  // Of several payload types the first one we can depacketize is the one.
  if (m_section.supported) return true;
  m_section.media.rtpmap = words[1];
  if (m_section.kind == kVideo) m_section.supported = IsSupportedVideoRtpmap(words[1]);
  return true;
}

bool CSDPResponseParser::ParseFmtp(const std::string& line) {
  if (m_section.kind == kVideo) return ParseVideoParameters(line);
  return m_section.kind == kAudio || m_section.kind == kMetadata;
}

bool CSDPResponseParser::ParseVideoParameters(const std::string& line) {
  // Parameter names are case-insensitive; values other than 0 to 2 are
  // taken as not given.
  const std::string mode = ExtractValue(ToLower(line), "packetization-mode", "=", " ;\r\n");
  size_t digits = 0;
  const unsigned long long value = LeadingNumber(mode, 3, &digits);
  if (!mode.empty() && digits == mode.size() && value <= 2 && m_section.media.packetizationMode < 0)
    m_section.media.packetizationMode = static_cast<int>(value);
  const std::string sets = ExtractValue(line, "sprop-parameter-sets", "=", " ;\r\n");
  if (!sets.empty()) return ParseParameterSets(sets);
  const std::string config = ExtractValue(line, "config", "=", " ;\r\n");
  if (config.empty() || !m_section.config.empty()) return true;
  if (config.find('=') != std::string::npos)
    Base64Decode(config, kParameterCapacity, m_section.config);
  else
    m_section.config = HexDecode(config);
  return !m_section.config.empty();
}

bool CSDPResponseParser::ParseParameterSets(const std::string& sets) {
  // The first line with parameter sets gives them.
  if (!m_section.parameterSet1.empty() || !m_section.parameterSet2.empty()) return true;
  std::vector<std::vector<uint8_t>> unknown;
  for (const std::string& entry : Split(sets, ',')) {
    std::vector<uint8_t> bytes;
    if (!Base64Decode(entry, kParameterCapacity, bytes)) continue;
    for (std::vector<uint8_t>& unit : SplitNalUnits(bytes)) {
      const uint8_t type = unit[0] & 0x1F;
      if (type == kNalSps && m_section.parameterSet1.empty()) m_section.parameterSet1 = unit;
      else if (type == kNalPps && m_section.parameterSet2.empty()) m_section.parameterSet2 = unit;
      else if (type != kNalSps && type != kNalPps) unknown.push_back(unit);
    }
  }
  // Units that name no parameter set type keep the order of the list.
  for (std::vector<uint8_t>& unit : unknown) {
    if (m_section.parameterSet1.empty()) m_section.parameterSet1 = unit;
    else if (m_section.parameterSet2.empty()) m_section.parameterSet2 = unit;
  }
  return !m_section.parameterSet1.empty() || !m_section.parameterSet2.empty();
}

}  // namespace telvora
