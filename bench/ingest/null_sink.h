// The host side of the ingest benchmark: a frame allocator that reuses its
// buffers, a frame sink that only reads the frame tag and notes the arrival
// time, and a log sink that counts lines. What a recording server does with
// a frame after OnFrame is left out, so that the receiver's own cost shows.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/orvalen_host.h"

namespace ingest {

class PooledFrame : public telvora::IVideoFrame {
 public:
  explicit PooledFrame(uint32_t capacity) : m_data(new uint8_t[capacity]), m_capacity(capacity) {}
  uint8_t* GetData() override { return m_data.get(); }
  void SetDataSize(uint32_t size) override {
    m_size = size;
    if (size > m_touched) m_touched = size;
  }
  void SetTime(const SYSTEMTIME* time) override {
    if (time != nullptr) m_time = *time;
  }
  void GetTime(SYSTEMTIME* time) override {
    if (time != nullptr) *time = m_time;
  }
  void SetFormat(uint32_t format) override { m_format = format; }
  void SetHeight(uint32_t) override {}
  void SetWidth(uint32_t) override {}
  void SetResolutionClass(uint32_t) override {}

  uint32_t Capacity() const { return m_capacity; }
  // The most the driver has written: the part of the buffer that is resident.
  uint32_t Touched() const { return m_touched; }
  uint32_t counted = 0;  // of Touched(), what the allocator has added up
  uint32_t Size() const { return m_size; }
  const uint8_t* Data() const { return m_data.get(); }

 private:
  std::unique_ptr<uint8_t[]> m_data;  // left uninitialized: the driver fills it
  uint32_t m_capacity;
  uint32_t m_size = 0;
  uint32_t m_touched = 0;
  uint32_t m_format = 0;
  SYSTEMTIME m_time{};
};

// Keeps up to kPoolSize released frames for reuse; frames above kMaxFrame
// are refused, as a host refuses a size it cannot hold.
class PoolAllocator : public telvora::IFrameAllocator {
 public:
  static const uint32_t kMaxFrame = 16u << 20;
  static const size_t kPoolSize = 4;
  ~PoolAllocator() override;
  telvora::IVideoFrame* CreateFrame(uint32_t format, uint32_t size, const char* driverName) override;
  void ReleaseFrame(telvora::IVideoFrame* frame) override;
  int64_t Outstanding() const { return m_outstanding.load(); }
  // Bytes of frame buffers the driver has written into, those of frames it
  // holds now left out: the host's frame memory, apart from the driver's.
  int64_t ResidentBytes() const { return m_resident.load(); }

 private:
  std::mutex m_mutex;
  std::vector<PooledFrame*> m_free;
  std::atomic<int64_t> m_outstanding{0};
  std::atomic<int64_t> m_resident{0};
};

struct Arrival {
  uint32_t stream;
  uint32_t frame;  // the number of the tag
  int64_t ns;      // monotonic clock at OnFrame
};

// OnFrame runs on the driver's delivery thread; the getters after Close.
class TaggingSink : public telvora::IHostFrameSink {
 public:
  // At most `capacity` arrivals are kept; later ones are only counted.
  TaggingSink(uint32_t stream, size_t capacity);
  bool OnFrame(telvora::IVideoFrame* frame) override;
  void Reserved1() override {}
  void OnSignalLost() override { m_signalLost.fetch_add(1); }

  const std::vector<Arrival>& Arrivals() const { return m_arrivals; }
  uint64_t Frames() const { return m_frames.load(); }
  uint64_t Untagged() const { return m_untagged.load(); }
  uint64_t SignalLost() const { return m_signalLost.load(); }

 private:
  uint32_t m_stream;
  size_t m_capacity;
  std::vector<Arrival> m_arrivals;
  std::atomic<uint64_t> m_frames{0};
  std::atomic<uint64_t> m_untagged{0};
  std::atomic<uint64_t> m_signalLost{0};
};

// Counts lines by level and keeps the first few of level 1 and 2.
class CountingLog : public telvora::IHostLogSink {
 public:
  void Write(CDebugInfoIf* info) override;
  uint64_t Count(int level) const;
  std::vector<std::string> Kept() const;

 private:
  mutable std::mutex m_mutex;
  uint64_t m_counts[5] = {0, 0, 0, 0, 0};  // levels 1 to 4, 0 for any other
  std::vector<std::string> m_kept;
};

}  // namespace ingest
