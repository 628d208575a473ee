// Bytes a depacketizer writes itself into the frame it is assembling.
// Unlike a vector it grows without zero-filling the new room, so room for a
// whole packet can be taken at once and written into.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace telvora {

class CFrameBuffer {
 public:
  CFrameBuffer() = default;
  CFrameBuffer(const CFrameBuffer&) = delete;
  CFrameBuffer& operator=(const CFrameBuffer&) = delete;

  size_t size() const { return m_size; }
  size_t capacity() const { return m_capacity; }
  bool empty() const { return m_size == 0; }
  uint8_t* data() { return m_data.get(); }
  const uint8_t* data() const { return m_data.get(); }

  void clear() { m_size = 0; }
  // Empties the buffer and gives its memory back.
  void Release() {
    m_data.reset();
    m_size = 0;
    m_capacity = 0;
  }
  // Room for at least n bytes in all; throws std::bad_alloc.
  void reserve(size_t n) {
    if (n <= m_capacity) return;
    std::unique_ptr<uint8_t[]> grown(new uint8_t[n]);
    if (m_size != 0) std::memcpy(grown.get(), m_data.get(), m_size);
    m_data = std::move(grown);
    m_capacity = n;
  }
  // Appends, growing only as far as needed: what a frame gets once it is
  // complete must not double a buffer held at its limit.
  void Put(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    if (n > m_capacity - m_size) reserve(m_size + n);
    std::memcpy(m_data.get() + m_size, bytes, n);
    m_size += n;
  }
  // Keeps the first n bytes, where n may reach into room written through
  // data() since the last reserve.
  void SetSize(size_t n) {
    assert(n <= m_capacity);
    m_size = n;
  }

 private:
  std::unique_ptr<uint8_t[]> m_data;
  size_t m_size = 0;
  size_t m_capacity = 0;
};

}  // namespace telvora
