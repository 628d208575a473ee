// Constant tables of baseline JPEG: the quantization tables of ITU-T T.81
// Annex K (K.1, K.2) in zig-zag order, and the typical Huffman tables of
// Annex K.3 (K.3 to K.6) as a DHT segment carries them.
#pragma once

#include <cstdint>

namespace telvora {
namespace jpeg {

extern const uint8_t kLuminanceQuant[64];
extern const uint8_t kChrominanceQuant[64];

// 16 code-length counts, then the symbol values.
extern const uint8_t kLuminanceDcCounts[16];
extern const uint8_t kLuminanceDcValues[12];
extern const uint8_t kLuminanceAcCounts[16];
extern const uint8_t kLuminanceAcValues[162];
extern const uint8_t kChrominanceDcCounts[16];
extern const uint8_t kChrominanceDcValues[12];
extern const uint8_t kChrominanceAcCounts[16];
extern const uint8_t kChrominanceAcValues[162];

}  // namespace jpeg
}  // namespace telvora
