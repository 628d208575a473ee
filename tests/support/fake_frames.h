// A host frame allocator whose frames record every setter, and count
// creations and releases.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/orvalen_host.h"
#include "base/system_time.h"

namespace telvora {
namespace test {

class FakeFrame : public IVideoFrame {
 public:
  FakeFrame(uint32_t formatCode, uint32_t size, bool nullData = false);
  uint8_t* GetData() override { return m_nullData ? nullptr : m_buffer.data(); }
  void SetDataSize(uint32_t size) override { m_dataSize = size; }
  void SetTime(const SYSTEMTIME* time) override;
  void GetTime(SYSTEMTIME* time) override;
  void SetFormat(uint32_t formatCode) override { m_format = formatCode; }
  void SetHeight(uint32_t height) override { m_height = height; }
  void SetWidth(uint32_t width) override { m_width = width; }
  void SetResolutionClass(uint32_t value) override { m_resolutionClass = value; }

  // The bytes set through GetData/SetDataSize.
  std::vector<uint8_t> Bytes() const;

  uint32_t m_createFormat;
  uint32_t m_capacity;
  bool m_nullData;
  std::vector<uint8_t> m_buffer;
  uint32_t m_dataSize = 0;
  uint32_t m_format = 0;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
  uint32_t m_resolutionClass = 0;
  bool m_timeSet = false;
  SYSTEMTIME m_time{};
};

// Four characters, first one in the lowest byte.
uint32_t FourCC(const char* code);
std::string FourCCText(uint32_t code);

class FakeFrameAllocator : public IFrameAllocator {
 public:
  ~FakeFrameAllocator() override;
  IVideoFrame* CreateFrame(uint32_t formatCode, uint32_t size, const char* driverName) override;
  void ReleaseFrame(IVideoFrame* frame) override;

  // Test controls.
  void SetRefuse(bool refuse) { m_refuse = refuse; }
  void SetNullData(bool nullData) { m_nullData = nullData; }
  int Created() const;
  int Released() const;
  std::string LastDriverName() const;

 private:
  mutable std::mutex m_mutex;
  bool m_refuse = false;
  bool m_nullData = false;
  int m_created = 0;
  int m_released = 0;
  std::string m_driverName;
};

}  // namespace test
}  // namespace telvora
