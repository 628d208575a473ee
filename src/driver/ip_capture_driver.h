// The driver object the host creates per device: the host-facing driver
// interfaces, the services every channel uses (IDriver) and the factory of
// camera channels (IVideoChannelCreator). Transport choices are left to a
// derived class.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "driver/ip_video_capture.h"
#include "host/driver_services.h"
#include "host/orvalen_host.h"
#include "platform/module.h"

namespace telvora {

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx5, public IDriver, public IVideoChannelCreator {
 public:
  // Reads the host directory and the host core version (5.12.0.0 when none
  // can be read).
  CIPCaptureDriver();
  ~CIPCaptureDriver() override;
  CIPCaptureDriver(const CIPCaptureDriver&) = delete;
  CIPCaptureDriver& operator=(const CIPCaptureDriver&) = delete;

  // Host-facing operations, called from the host's threads, never
  // concurrently with each other. A driver that is already open is closed
  // first. False (and closed) for a null device, an address that does not
  // parse, or a refusing hook. Sink and allocator are borrowed and may be
  // null: then no line is logged and no frame can be made.
  bool Open(IHostLogSink* sink, IFrameAllocator* allocator, IHostDevice* device) override;
  // Stops and deletes every stream, each within its stop limit (see
  // CIPVideoCapture).
  // Refused, with a level-1 line, from inside a callback of this device's
  // own streams (see CIPVideoCapture).
  void Close() override;
  // The host's delete: closes, forgets the host's sink and allocator, and
  // frees the object once no capture thread left running holds it.
  void DeleteFromHost();
  void Hold() override { ++m_references; }
  void ReleaseHold() override;
  // True, after the level-1 line, when deleting this object now would free
  // the stream whose callback the calling thread is inside.
  // function: the reporting function's name for the line.
  bool RefuseDeleteFromOwnCallback(const char* function);
  ipcapture::IIPVideoCapture* GetVideoCapture() override { return m_videoCapture; }
  void* GetAuxCapture1() override { return nullptr; }
  void* GetReserved1() override { return nullptr; }
  void* GetAuxCapture2() override { return nullptr; }
  void* GetReserved2() override { return nullptr; }
  ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override { return m_videoCapture; }
  void* GetAuxCapture2Ex() override { return nullptr; }
  void* GetReserved3() override { return nullptr; }
  void* GetReserved4() override { return nullptr; }
  ipcapture::IIPVideoCaptureEx2* GetVideoCaptureEx2() override { return m_videoCapture; }

  // Hooks of Open, in the order Open calls them: CanOpen, PrepareOpen,
  // OpenDevice; the first false fails the open. CloseDevice runs in Close.
  virtual bool OpenDevice(IHostDevice* device) = 0;
  virtual void CloseDevice() {}
  virtual bool PrepareOpen() = 0;
  virtual bool CanOpen() = 0;
  // The start-up line; nothing without driver name or device model.
  virtual void LogDriverOpened(const std::string& firmware);

  // IDriver. Everything but Log reads data fixed between Open and Close;
  // Log is safe from any thread.
  std::string GetDeviceText() override;
  // Adapts the level to the host, drops level 4 and empty lines. An
  // exception from the host's sink reaches the caller.
  void Log(int level, const char* format, ...) override
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;
  std::string GetHostDirectory() override { return m_hostDirectory; }
  DEVICE_INFO* GetDeviceInfo() override { return &m_deviceInfo; }
  std::pair<uint32_t, uint32_t> GetModelValues() override { return {m_modelValueA, m_modelValueB}; }
  IFrameAllocator* GetFrameAllocator() override { return m_allocator.load(); }
  uint32_t GetReservedValue() override { return m_reservedValue; }
  uint32_t GetConnectionValue() override { return m_connectionValue; }
  uint32_t GetChannelCount() override { return m_channelCount; }
  std::string GetParameter(uint32_t index) override;
  int32_t GetParameterNumber(uint32_t index) override;

  // IVideoChannelCreator: no secondary channels and no edge monitor here.
  ISecondaryChannel* CreateSecondaryChannel(uint32_t, IHostFrameSink*) override { return nullptr; }
  IEdgeMonitor* CreateEdgeMonitor() override { return nullptr; }

  const platform::HostVersion& GetHostCoreVersion() const { return m_hostVersion; }

  // Parameters read from a device; more are ignored with a warning.
  static constexpr uint32_t kMaxParameters = 4096;

 protected:
  // Sends a finished line: no formatting, but the same level rules as Log.
  void WriteLine(int level, const std::string& line);

 private:
  bool CopyDeviceDescription(IHostDevice* device);
  void DeleteCaptureObjects();

  std::atomic<IHostLogSink*> m_sink;
  std::atomic<IFrameAllocator*> m_allocator;
  // The host's and one per Hold.
  std::atomic<int> m_references;
  std::map<uint32_t, std::string> m_parameters;
  platform::HostVersion m_hostVersion;
  std::string m_hostDirectory;
  DEVICE_INFO m_deviceInfo;
  uint32_t m_modelValueA;
  uint32_t m_modelValueB;
  uint32_t m_channelCount;
  uint32_t m_connectionValue;
  uint32_t m_reservedValue;
  CIPVideoCapture* m_videoCapture;
};

}  // namespace telvora
