#include "kovadel/kovadel.h"

#include <cstddef>

namespace {

// Bits of [data, data + size), most significant first. Reading past the
// end marks the reader failed and yields 0.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  uint32_t Read(unsigned n) {
    uint32_t value = 0;
    for (unsigned i = 0; i < n; ++i) {
      if (m_bit >= m_size * 8) {
        m_failed = true;
        return 0;
      }
      const uint8_t byte = m_data[m_bit / 8];
      value = (value << 1) | ((byte >> (7 - m_bit % 8)) & 1u);
      ++m_bit;
    }
    return value;
  }
  bool Failed() const { return m_failed; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_bit = 0;
  bool m_failed = false;
};

const uint32_t kExtendedPar = 0xF;
const uint32_t kShapeRectangular = 0;
const uint32_t kShapeGrayscale = 3;

// Bits of vop_time_increment: enough for values up to resolution - 1, at
// least one.
unsigned TimeIncrementBits(uint32_t resolution) {
  unsigned bits = 1;
  while (bits < 16 && (1u << bits) < resolution) ++bits;
  return bits;
}

bool ReadVolHeader(const uint8_t* data, size_t size, int32_t* width, int32_t* height) {
  BitReader r(data, size);
  r.Read(32);  // video_object_layer_start_code
  r.Read(1);   // random_accessible_vol
  r.Read(8);   // video_object_type_indication
  uint32_t verid = 1;
  if (r.Read(1)) {  // is_object_layer_identifier
    verid = r.Read(4);
    r.Read(3);  // video_object_layer_priority
  }
  if (r.Read(4) == kExtendedPar) {
    r.Read(8);  // par_width
    r.Read(8);  // par_height
  }
  if (r.Read(1)) {  // vol_control_parameters
    r.Read(2);      // chroma_format
    r.Read(1);      // low_delay
    if (r.Read(1)) {  // vbv_parameters
      r.Read(15);     // first_half_bit_rate
      r.Read(1);
      r.Read(15);  // latter_half_bit_rate
      r.Read(1);
      r.Read(15);  // first_half_vbv_buffer_size
      r.Read(1);
      r.Read(3);   // latter_half_vbv_buffer_size
      r.Read(11);  // first_half_vbv_occupancy
      r.Read(1);
      r.Read(15);  // latter_half_vbv_occupancy
      r.Read(1);
    }
  }
  const uint32_t shape = r.Read(2);
  if (shape == kShapeGrayscale && verid != 1) r.Read(4);  // video_object_layer_shape_extension
  r.Read(1);
  const uint32_t resolution = r.Read(16);  // vop_time_increment_resolution
  r.Read(1);
  if (r.Read(1)) r.Read(TimeIncrementBits(resolution));  // fixed_vop_time_increment
  if (r.Failed() || resolution == 0 || shape != kShapeRectangular) return false;
  r.Read(1);
  const uint32_t w = r.Read(13);
  r.Read(1);
  const uint32_t h = r.Read(13);
  r.Read(1);  // the marker that closes the size; a header cut before it is incomplete
  if (r.Failed() || w == 0 || h == 0) return false;
  *width = static_cast<int32_t>(w);
  *height = static_cast<int32_t>(h);
  return true;
}

}  // namespace

extern "C" KOVADEL_API int32_t KOVADEL_CALL ParseMpegHeader(const uint8_t* data, uint32_t size, int32_t* width, int32_t* height) {
  if (data == nullptr || width == nullptr || height == nullptr) return 0;
  for (size_t i = 0; i + 4 <= size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0xF0) == 0x20) {
      // Only the first layer header is read.
      return ReadVolHeader(data + i, size - i, width, height) ? 1 : 0;
    }
  }
  return 0;
}
