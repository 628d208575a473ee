// SHA-256 and SHA-512/256 (FIPS 180-4), for Digest answers to servers that
// ask for them (RFC 7616).
#pragma once

#include <string>

namespace telvora {

// The digest of the bytes of text as lowercase hexadecimal digits
// (64 digits for both).
std::string Sha256Hex(const std::string& text);
std::string Sha512_256Hex(const std::string& text);

}  // namespace telvora
