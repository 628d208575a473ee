// Base64 with the standard alphabet of RFC 4648.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvora {

// Encodes into one unbroken line with '=' padding. When the encoded text
// and a terminating zero would not fit in capacity bytes, out is emptied
// and the result is false (capacity 0 means no limit).
bool Base64Encode(const uint8_t* data, size_t length, size_t capacity, std::string& out);
std::string Base64Encode(const std::string& bytes);

// Decodes text, skipping every character outside the alphabet ('=', blanks,
// line ends included). Decoding ends where a group would begin at a zero
// byte. When the result would exceed capacity bytes, out is emptied and the
// result is false.
bool Base64Decode(const std::string& text, size_t capacity, std::vector<uint8_t>& out);

}  // namespace telvora
