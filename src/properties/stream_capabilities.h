// What one stream of a device can deliver, and the texts and rate codes in
// which the host takes it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace telvora {

// Codec ids of the host.
constexpr int kCodecH264 = 1;
constexpr int kCodecMpeg4 = 2;
constexpr int kCodecJpeg = 3;

struct RESOLUTION_ENTRY {
  uint16_t width;
  uint16_t height;
  uint32_t frameRate;  // 0: the record's own rates apply
};

struct STREAM_CAPABILITIES {
  std::set<int> codecs;
  std::vector<RESOLUTION_ENTRY> resolutions;  // in insertion order
  std::set<uint32_t> frameRates;
  uint32_t defaultFrameRate = 0;  // 0: half the largest rate
};

// The host's unit for a frame rate: the frame interval in milliseconds,
// 1000 for rate 0, and above 30 fps on a high-rate host the rate itself
// tagged with 0x70000000.
uint32_t GetRateCode(uint32_t rate, bool highRateHost);

// The rate the default is taken from: the smallest rate not below the
// default frame rate (or half the largest rate). Returns false when no rate
// reaches it; *threshold is always set.
bool FindDefaultRate(const STREAM_CAPABILITIES& record, uint32_t* rate, uint32_t* threshold);

// "h264,mpeg,jpeg" for the known ids, in ascending order.
std::string CodecsText(const STREAM_CAPABILITIES& record);
// "640x480:33,..." with each entry's rate code.
std::string ResolutionsText(const STREAM_CAPABILITIES& record, bool highRateHost);
// "values=200,100,33;default=33", or "" without frame rates.
std::string FrameRatesText(const STREAM_CAPABILITIES& record, bool highRateHost);

}  // namespace telvora
