// An IDriver for tests of components below the driver object: plain values
// in, every log line recorded (level as the component asked, not adapted).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "host/driver_services.h"
#include "support/log_recorder.h"

namespace telvora {
namespace test {

class FakeDriver : public IDriver {
 public:
  FakeDriver() : m_info("127.0.0.1", 554, "", "") {}

  std::string GetDeviceText() override;
  void Log(int level, const char* format, ...) override;
  std::string GetDriverName() override { return "Orvalen"; }
  std::string GetHostDirectory() override { return m_hostDirectory; }
  DEVICE_INFO* GetDeviceInfo() override { return &m_info; }
  std::pair<uint32_t, uint32_t> GetModelValues() override { return {0, 0}; }
  IFrameAllocator* GetFrameAllocator() override { return m_allocator; }
  uint32_t GetReservedValue() override { return 0; }
  uint32_t GetConnectionValue() override { return 0; }
  uint32_t GetChannelCount() override { return m_channelCount; }
  std::string GetParameter(uint32_t index) override;
  int32_t GetParameterNumber(uint32_t index) override;
  void Hold() override { ++m_holds; }
  void ReleaseHold() override { --m_holds; }

  // Test controls.
  // Holds not yet released: a thread left running still uses the driver.
  int Holds() const { return m_holds.load(); }
  DEVICE_INFO& Info() { return m_info; }
  LogRecorder& Logs() { return m_log; }
  void SetAllocator(IFrameAllocator* allocator) { m_allocator = allocator; }
  void SetChannelCount(uint32_t count) { m_channelCount = count; }
  void SetParameter(uint32_t index, const std::string& value) { m_params[index] = value; }
  void SetHostDirectory(const std::string& dir) { m_hostDirectory = dir; }

 private:
  DEVICE_INFO m_info;
  LogRecorder m_log;
  IFrameAllocator* m_allocator = nullptr;
  uint32_t m_channelCount = 1;
  std::map<uint32_t, std::string> m_params;
  std::string m_hostDirectory;
  std::atomic<int> m_holds{0};
};

}  // namespace test
}  // namespace telvora
