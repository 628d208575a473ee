#include "support/fake_frames.h"

#include <algorithm>

namespace telvora {
namespace test {

FakeFrame::FakeFrame(uint32_t formatCode, uint32_t size, bool nullData)
    : m_createFormat(formatCode), m_capacity(size), m_nullData(nullData), m_buffer(size) {}

void FakeFrame::SetTime(const SYSTEMTIME* time) {
  if (time != nullptr) {
    m_time = *time;
    m_timeSet = true;
  }
}

void FakeFrame::GetTime(SYSTEMTIME* time) {
  if (time != nullptr) *time = m_time;
}

std::vector<uint8_t> FakeFrame::Bytes() const {
  size_t n = std::min<size_t>(m_dataSize, m_buffer.size());
  return std::vector<uint8_t>(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

uint32_t FourCC(const char* c) {
  return static_cast<uint32_t>(static_cast<uint8_t>(c[0])) | (static_cast<uint32_t>(static_cast<uint8_t>(c[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c[3])) << 24);
}

std::string FourCCText(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return s;
}

FakeFrameAllocator::~FakeFrameAllocator() {}

IVideoFrame* FakeFrameAllocator::CreateFrame(uint32_t formatCode, uint32_t size, const char* driverName) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (driverName != nullptr) m_driverName = driverName;
  if (m_refuse) return nullptr;
  ++m_created;
  return new FakeFrame(formatCode, size, m_nullData);
}

void FakeFrameAllocator::ReleaseFrame(IVideoFrame* frame) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_released;
  }
  delete static_cast<FakeFrame*>(frame);
}

int FakeFrameAllocator::Created() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_created;
}

int FakeFrameAllocator::Released() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_released;
}

std::string FakeFrameAllocator::LastDriverName() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_driverName;
}

}  // namespace test
}  // namespace telvora
