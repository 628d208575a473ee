// A frame number carried inside the H.264 stream itself, so that a receiver
// can tell which sent frame it got: a filler data NAL unit (type 12) at the
// end of the access unit, holding a fixed UUID and eight hexadecimal digits.
// Decoders discard filler data, and the depacketizer keeps it where SEI
// units are dropped. Hex text has no zero bytes, so no emulation prevention
// is needed and the digits can be rewritten in a packet just before sending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ingest {

// The whole NAL unit (header byte first, no start code), numbered 0.
std::vector<uint8_t> MakeFrameTagNal();

// Where the digits start inside a buffer holding a tag; -1 when no whole
// tag lies within its last `limit` bytes.
long FindFrameTagDigits(const uint8_t* data, size_t length, size_t limit = 128);

// Writes the number as eight hex digits at `digits`.
void WriteFrameTag(uint8_t* digits, uint32_t number);

// The number of a frame that carries a tag in its last `limit` bytes (a
// frame handed over ends with the tag and an access unit delimiter). False
// when there is none or its digits are not hexadecimal.
bool ReadFrameTag(const uint8_t* data, size_t length, uint32_t* number, size_t limit = 128);

}  // namespace ingest
