#include "properties/stream_capabilities.h"

#include "base/string_format.h"

namespace telvora {
namespace {

void AppendItem(std::string* list, const std::string& item) {
  if (!list->empty()) *list += ',';
  *list += item;
}

}  // namespace

uint32_t GetRateCode(uint32_t rate, bool highRateHost) {
  if (rate == 0) return 1000;
  if (rate > 30 && highRateHost) return rate | 0x70000000u;
  // Single-precision rate, as the host computes its own intervals.
  const double interval = 1000.0f / static_cast<float>(rate) + 0.5;
  return static_cast<uint32_t>(interval);
}

bool FindDefaultRate(const STREAM_CAPABILITIES& record, uint32_t* rate, uint32_t* threshold) {
  uint32_t wanted = record.defaultFrameRate;
  if (wanted == 0 && !record.frameRates.empty()) wanted = *record.frameRates.rbegin() / 2;
  *threshold = wanted;
  auto it = record.frameRates.lower_bound(wanted);
  if (it == record.frameRates.end()) return false;
  *rate = *it;
  return true;
}

std::string CodecsText(const STREAM_CAPABILITIES& record) {
  std::string text;
  for (int codec : record.codecs) {
    if (codec == kCodecH264)
      AppendItem(&text, "h264");
    else if (codec == kCodecMpeg4)
      AppendItem(&text, "mpeg");
    else if (codec == kCodecJpeg)
      AppendItem(&text, "jpeg");
  }
  return text;
}

std::string ResolutionsText(const STREAM_CAPABILITIES& record, bool highRateHost) {
  const uint32_t fallbackCode =
      record.frameRates.empty() ? 40u : GetRateCode(*record.frameRates.rbegin(), highRateHost);
  std::string text;
  for (const RESOLUTION_ENTRY& entry : record.resolutions) {
    if (entry.width == 0 || entry.height == 0) continue;
    const uint32_t code = entry.frameRate != 0 ? GetRateCode(entry.frameRate, highRateHost) : fallbackCode;
    AppendItem(&text, FormatString("%ux%u:%u", static_cast<unsigned>(entry.width),
                                   static_cast<unsigned>(entry.height), static_cast<unsigned>(code)));
  }
  return text;
}

std::string FrameRatesText(const STREAM_CAPABILITIES& record, bool highRateHost) {
  if (record.frameRates.empty()) return std::string();
  std::string values;
  for (uint32_t rate : record.frameRates)
    if (rate != 0) AppendItem(&values, FormatString("%u", static_cast<unsigned>(GetRateCode(rate, highRateHost))));
  uint32_t rate = 0;
  uint32_t threshold = 0;
  if (!FindDefaultRate(record, &rate, &threshold)) rate = threshold;
  return FormatString("values=%s;default=%u", values.c_str(),
                      static_cast<unsigned>(GetRateCode(rate, highRateHost)));
}

}  // namespace telvora
