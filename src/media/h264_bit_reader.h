// Reads the bits of an H.264 NAL unit payload, most significant first, and
// skips emulation-prevention bytes (the 03 of 00 00 03) on the way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telvora {

class CH264BitReader {
 public:
  // Reads [data, data + length); never a byte outside it.
  CH264BitReader(const uint8_t* data, size_t length);

  // Past the end a bit reads as 1 and the reader is marked overrun.
  uint32_t ReadBit();
  // n from 0 to 32.
  uint32_t ReadBits(unsigned n);
  // Exp-Golomb codes. A code longer than 32 bits marks the reader overrun.
  uint32_t ReadUe();
  int32_t ReadSe();
  bool Overrun() const { return m_overrun; }

 private:
  void NextByte();

  const uint8_t* m_current;
  const uint8_t* m_end;
  uint8_t m_bitIndex;  // 0 to 7, next bit to read in *m_current
  unsigned m_zeroRun;  // zero bytes just read, for spotting 00 00 03
  bool m_overrun;
};

}  // namespace telvora
