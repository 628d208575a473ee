#include "frame_tag.h"

#include <cstring>

namespace ingest {

namespace {

// Random bytes, none of them zero.
const uint8_t kUuid[16] = {0x6B, 0x1F, 0xD2, 0x47, 0x93, 0xA8, 0x4C, 0x5E,
                           0xB1, 0x37, 0xE6, 0x82, 0x19, 0xCD, 0x74, 0xF5};
const size_t kDigits = 8;

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<uint8_t> MakeFrameTagNal() {
  std::vector<uint8_t> nal = {0x0C};
  nal.insert(nal.end(), kUuid, kUuid + sizeof(kUuid));
  nal.resize(nal.size() + kDigits);
  WriteFrameTag(nal.data() + 1 + sizeof(kUuid), 0);
  nal.push_back(0x80);  // rbsp trailing bits
  return nal;
}

long FindFrameTagDigits(const uint8_t* data, size_t length, size_t limit) {
  if (data == nullptr) return -1;
  const size_t from = length > limit ? length - limit : 0;
  if (length < sizeof(kUuid) + kDigits) return -1;
  for (size_t at = from; at + sizeof(kUuid) + kDigits <= length; ++at) {
    if (data[at] == kUuid[0] && std::memcmp(data + at, kUuid, sizeof(kUuid)) == 0)
      return static_cast<long>(at + sizeof(kUuid));
  }
  return -1;
}

void WriteFrameTag(uint8_t* digits, uint32_t number) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < kDigits; ++i) digits[i] = kHex[(number >> (4 * (kDigits - 1 - i))) & 0xF];
}

bool ReadFrameTag(const uint8_t* data, size_t length, uint32_t* number, size_t limit) {
  const long at = FindFrameTagDigits(data, length, limit);
  if (at < 0) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < kDigits; ++i) {
    const int digit = HexValue(data[at + i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *number = value;
  return true;
}

}  // namespace ingest
