#include "null_sink.h"

#include <chrono>

#include "frame_tag.h"

namespace ingest {

PoolAllocator::~PoolAllocator() {
  for (PooledFrame* frame : m_free) delete frame;
}

namespace {
uint32_t WholePages(uint32_t bytes) { return (bytes + 4095u) & ~4095u; }
}  // namespace

telvora::IVideoFrame* PoolAllocator::CreateFrame(uint32_t, uint32_t size, const char*) {
  if (size == 0 || size > kMaxFrame) return nullptr;
  PooledFrame* frame = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < m_free.size(); ++i) {
      if (m_free[i]->Capacity() >= size) {
        frame = m_free[i];
        m_free.erase(m_free.begin() + static_cast<long>(i));
        break;
      }
    }
  }
  if (frame == nullptr) {
    // Room to grow, so that a stream settles on one or two buffers.
    uint32_t capacity = size + size / 2;
    if (capacity < (256u << 10)) capacity = 256u << 10;
    if (capacity > kMaxFrame) capacity = kMaxFrame;
    frame = new PooledFrame(capacity);
  }
  m_outstanding.fetch_add(1);
  return frame;
}

void PoolAllocator::ReleaseFrame(telvora::IVideoFrame* frame) {
  PooledFrame* ours = dynamic_cast<PooledFrame*>(frame);
  if (ours == nullptr) return;
  m_outstanding.fetch_sub(1);
  const uint32_t touched = WholePages(ours->Touched());
  if (touched > ours->counted) {
    m_resident.fetch_add(touched - ours->counted);
    ours->counted = touched;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_free.size() < kPoolSize) {
    m_free.push_back(ours);
    return;
  }
  // Drop the smallest, keep the big ones.
  size_t smallest = 0;
  for (size_t i = 1; i < m_free.size(); ++i)
    if (m_free[i]->Capacity() < m_free[smallest]->Capacity()) smallest = i;
  if (m_free[smallest]->Capacity() < ours->Capacity()) std::swap(m_free[smallest], ours);
  m_resident.fetch_sub(ours->counted);
  delete ours;
}

TaggingSink::TaggingSink(uint32_t stream, size_t capacity) : m_stream(stream), m_capacity(capacity) {
  m_arrivals.reserve(capacity);
}

bool TaggingSink::OnFrame(telvora::IVideoFrame* frame) {
  const int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  PooledFrame* ours = dynamic_cast<PooledFrame*>(frame);
  if (ours == nullptr || ours->Size() > ours->Capacity()) return false;
  m_frames.fetch_add(1, std::memory_order_relaxed);
  uint32_t number = 0;
  if (!ReadFrameTag(ours->Data(), ours->Size(), &number)) {
    m_untagged.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  // One delivery thread per channel calls this; the main thread reads only
  // after the channel is closed.
  if (m_arrivals.size() < m_capacity) m_arrivals.push_back(Arrival{m_stream, number, now});
  return true;
}

void CountingLog::Write(CDebugInfoIf* info) {
  if (info == nullptr) return;
  const int level = info->GetLevel();
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_counts[level >= 1 && level <= 4 ? level : 0];
  if ((level == 1 || level == 2) && m_kept.size() < 20 && info->GetText() != nullptr)
    m_kept.push_back(std::to_string(level) + " " + info->GetText());
}

uint64_t CountingLog::Count(int level) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_counts[level >= 1 && level <= 4 ? level : 0];
}

std::vector<std::string> CountingLog::Kept() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_kept;
}

}  // namespace ingest
