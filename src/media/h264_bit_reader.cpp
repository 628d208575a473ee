#include "media/h264_bit_reader.h"

namespace telvora {

CH264BitReader::CH264BitReader(const uint8_t* data, size_t length)
    : m_current(data), m_end(data != nullptr ? data + length : nullptr), m_bitIndex(0), m_zeroRun(0),
      m_overrun(false) {}

void CH264BitReader::NextByte() {
  m_zeroRun = (*m_current == 0) ? m_zeroRun + 1 : 0;
  ++m_current;
  m_bitIndex = 0;
  // An emulation-prevention byte is not part of the payload; the zero run
  // starts afresh after it.
  if (m_zeroRun >= 2 && m_current < m_end && *m_current == 3) {
    ++m_current;
    m_zeroRun = 0;
  }
}

uint32_t CH264BitReader::ReadBit() {
  if (m_current == nullptr || m_current >= m_end) {
    m_overrun = true;
    return 1;
  }
  const uint32_t bit = (*m_current >> (7 - m_bitIndex)) & 1u;
  if (++m_bitIndex == 8) NextByte();
  return bit;
}

uint32_t CH264BitReader::ReadBits(unsigned n) {
  uint32_t value = 0;
  for (unsigned i = 0; i < n && i < 32; ++i) value = (value << 1) | ReadBit();
  return value;
}

uint32_t CH264BitReader::ReadUe() {
  unsigned zeros = 0;
  while (ReadBit() == 0) {
    if (++zeros > 31) {
      // No valid syntax element needs more; such a run is not an SPS.
      m_overrun = true;
      return 0;
    }
  }
  if (zeros == 0) return 0;
  const uint64_t value = (uint64_t(1) << zeros) - 1 + ReadBits(zeros);
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

int32_t CH264BitReader::ReadSe() {
  const uint32_t k = ReadUe();
  if (k & 1u) return static_cast<int32_t>((k + 1ull) / 2);
  return -static_cast<int32_t>(k / 2);
}

}  // namespace telvora
