// Format codes and resolution classes of the frames handed to the host.
#pragma once

#include <cstdint>

namespace telvora {

// Four characters packed into 32 bits, the first one in the lowest byte.
constexpr uint32_t MakeFormatCode(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

constexpr uint32_t kFormatH264 = MakeFormatCode('H', '2', '6', '4');  // H.264 key frame
constexpr uint32_t kFormatI264 = MakeFormatCode('I', '2', '6', '4');  // other H.264 frame
constexpr uint32_t kFormatJpeg = MakeFormatCode('J', 'P', 'E', 'G');
constexpr uint32_t kFormatDivx = MakeFormatCode('D', 'I', 'V', 'X');  // MPEG-4 key frame
constexpr uint32_t kFormatDivi = MakeFormatCode('D', 'I', 'V', 'I');  // other MPEG-4 frame

// 1 below 200 pixels wide, 2 below 400, 3 for wide pictures below 1024
// (more than twice as wide as high), 4 otherwise.
uint32_t GetResolutionClass(uint32_t width, uint32_t height);

}  // namespace telvora
