// Frames and the frame allocator of the host. The driver asks for a frame
// of a given size, fills it, hands it to the frame sink and releases it.
#pragma once

#include <atomic>
#include <string>
#include <cstdint>
#include <vector>

#include "host/orvalen_host.h"

namespace capture {

class HostFrame : public telvora::IVideoFrame {
 public:
  // The format asked for at creation stands until SetFormat changes it:
  // JPEG frames are never given another one.
  HostFrame(uint32_t capacity, uint32_t formatCode) : data_(capacity), format_(formatCode) {}

  uint8_t* GetData() override { return data_.empty() ? nullptr : data_.data(); }
  void SetDataSize(uint32_t size) override { size_ = size; }
  void SetTime(const SYSTEMTIME* time) override;
  void GetTime(SYSTEMTIME* time) override;
  void SetFormat(uint32_t formatCode) override { format_ = formatCode; }
  void SetHeight(uint32_t height) override { height_ = height; }
  void SetWidth(uint32_t width) override { width_ = width; }
  void SetResolutionClass(uint32_t resolutionClass) override { resolutionClass_ = resolutionClass; }

  const uint8_t* Data() const { return data_.data(); }
  uint32_t Capacity() const { return static_cast<uint32_t>(data_.size()); }
  uint32_t Size() const { return size_; }
  uint32_t Format() const { return format_; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  bool HasTime() const { return hasTime_; }
  const SYSTEMTIME& Time() const { return time_; }

 private:
  std::vector<uint8_t> data_;
  uint32_t size_ = 0;
  uint32_t format_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t resolutionClass_ = 0;
  bool hasTime_ = false;
  SYSTEMTIME time_ = {};
};

// Called from the driver's delivery threads. Frames above kMaxFrameBytes
// are refused, so a corrupt size from the network cannot exhaust memory.
class HostFrameAllocator : public telvora::IFrameAllocator {
 public:
  static const uint32_t kMaxFrameBytes = 32u * 1024u * 1024u;

  telvora::IVideoFrame* CreateFrame(uint32_t formatCode, uint32_t size, const char* driverName) override;
  void ReleaseFrame(telvora::IVideoFrame* frame) override;

  // Frames created and not yet released.
  int64_t Outstanding() const { return created_.load() - released_.load(); }
  uint64_t Refused() const { return refused_.load(); }

 private:
  std::atomic<int64_t> created_{0};
  std::atomic<int64_t> released_{0};
  std::atomic<uint64_t> refused_{0};
};

// "H264" and friends: the first character in the lowest byte.
uint32_t FourCC(const char* text);
std::string FourCCText(uint32_t code);

}  // namespace capture
