// MD5 message digest (RFC 1321), used by Digest authentication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace telvora {

class CMd5 {
 public:
  CMd5();
  void Update(const void* data, size_t length);
  // Pads, appends the bit count and writes the 16-byte digest. The object
  // must be re-initialised with Reset() before it is used again.
  void Final(uint8_t digest[16]);
  void Reset();

 private:
  void Transform(const uint8_t block[64]);

  uint32_t m_state[4];
  uint64_t m_bitCount;
  uint8_t m_buffer[64];
};

// The MD5 digest of the bytes of text as 32 lowercase hexadecimal digits.
std::string Md5Hex(const std::string& text);

}  // namespace telvora
