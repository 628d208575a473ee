// orvalen-smoke [address] [library]
// Loads the driver as a recording host does, opens a device at the address
// (default rtsp://127.0.0.1:8554/stream), tries to open stream 0, prints
// every log line with its level, then closes and deletes the driver.
// Exit code 0 when the device opened, 1 otherwise.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/orvalen_host.h"

namespace {

using namespace telvora;

class PrintingLogSink : public IHostLogSink {
 public:
  void Write(CDebugInfoIf* info) override {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::printf("[level %3u] %s\n", info->GetLevel(), info->GetText() != nullptr ? info->GetText() : "");
    std::fflush(stdout);
  }

 private:
  std::mutex m_mutex;
};

class Model : public IHostDeviceModel {
 public:
  const char* GetModelName() override { return "Smoke camera"; }
  uint32_t GetVideoInputCount() override { return 1; }
  uint32_t GetValueA() override { return 0; }
  uint32_t GetValueB() override { return 0; }
};

class Connection : public IHostConnection {
 public:
  explicit Connection(const char* address) : m_address(address) {}
  const char* GetAddress() override { return m_address.c_str(); }
  uint16_t GetPort() override { return 554; }
  uint32_t GetConnectionValue() override { return 0; }
  const char* GetUserName() override { return ""; }
  const char* GetPassword() override { return ""; }

 private:
  std::string m_address;
};

class Device : public IHostDevice {
 public:
  Device(const char* address, const std::string& path) : m_connection(address), m_path(path) {}
  IHostDeviceModel* GetModel() override { return &m_model; }
  IHostConnection* GetConnection() override { return &m_connection; }
  const char* GetDeviceParameter(uint32_t index) override { return index == 1 ? m_path.c_str() : nullptr; }

 private:
  Model m_model;
  Connection m_connection;
  std::string m_path;
};

class Frame : public IVideoFrame {
 public:
  explicit Frame(uint32_t size) : m_data(size) {}
  uint8_t* GetData() override { return m_data.data(); }
  void SetDataSize(uint32_t size) override { m_size = size; }
  void SetTime(const SYSTEMTIME* time) override {
    if (time != nullptr) m_time = *time;
  }
  void GetTime(SYSTEMTIME* time) override {
    if (time != nullptr) *time = m_time;
  }
  void SetFormat(uint32_t) override {}
  void SetHeight(uint32_t) override {}
  void SetWidth(uint32_t) override {}
  void SetResolutionClass(uint32_t) override {}
  uint32_t Size() const { return m_size; }

 private:
  std::vector<uint8_t> m_data;
  uint32_t m_size = 0;
  SYSTEMTIME m_time{};
};

class Allocator : public IFrameAllocator {
 public:
  IVideoFrame* CreateFrame(uint32_t, uint32_t size, const char*) override { return new Frame(size); }
  void ReleaseFrame(IVideoFrame* frame) override { delete static_cast<Frame*>(frame); }
};

class CountingFrameSink : public IHostFrameSink {
 public:
  bool OnFrame(IVideoFrame* frame) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_frames;
    m_bytes += frame != nullptr ? static_cast<Frame*>(frame)->Size() : 0;
    return true;
  }
  void Reserved1() override {}
  void OnSignalLost() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_signalLost;
  }
  void Print() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::printf("smoke: %lu frames, %lu bytes, %lu signal losses\n", m_frames, m_bytes, m_signalLost);
  }

 private:
  std::mutex m_mutex;
  unsigned long m_frames = 0;
  unsigned long m_bytes = 0;
  unsigned long m_signalLost = 0;
};

class Settings : public IHostStreamSettings, public IHostStreamFormat, public IHostStreamOptions, public IHostFrameSize {
 public:
  IHostStreamFormat* GetFormat() override { return this; }
  IHostStreamOptions* GetOptions() override { return this; }
  uint32_t GetOptionValue() override { return 0; }
  IHostFrameSize* GetFrameSize() override { return this; }
  uint32_t GetFormatValue() override { return 0; }
  uint16_t GetOption1() override { return 0; }
  uint16_t GetOption2() override { return 0; }
  uint32_t WantsSecondary() override { return 0; }
  uint16_t GetSize1() override { return 0; }
  uint16_t GetSize2() override { return 0; }
};

// The path part of a URL, for device parameter 1.
std::string PathOf(const std::string& address) {
  size_t scheme = address.find("://");
  size_t slash = address.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return slash == std::string::npos ? std::string() : address.substr(slash);
}

}  // namespace

int main(int argc, char** argv) {
  const char* address = argc > 1 ? argv[1] : "rtsp://127.0.0.1:8554/stream";
  const char* library = argc > 2 ? argv[2] : std::getenv("ORVALEN_LIBRARY");
  if (library == nullptr) library = ORVALEN_LIBRARY_PATH;
  const int seconds = std::getenv("ORVALEN_SMOKE_SECONDS") != nullptr ? std::atoi(std::getenv("ORVALEN_SMOKE_SECONDS")) : 3;

  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "smoke: cannot load %s: %s\n", library, dlerror());
    return 1;
  }
  typedef ipcapture::IIPCaptureDriver* (*CreateFn)();
  typedef void (*DeleteFn)(ipcapture::IIPCaptureDriver*);
  CreateFn create = reinterpret_cast<CreateFn>(dlsym(handle, "CreateIPCaptureEx5"));
  DeleteFn destroy = reinterpret_cast<DeleteFn>(dlsym(handle, "DeleteIPCaptureEx5"));
  if (create == nullptr || destroy == nullptr) {
    std::fprintf(stderr, "smoke: %s lacks the driver entry points\n", library);
    dlclose(handle);
    return 1;
  }

  PrintingLogSink log;
  Allocator allocator;
  Device device(address, PathOf(address));
  CountingFrameSink sink;
  Settings settings;

  std::printf("smoke: loaded %s, opening %s\n", library, address);
  ipcapture::IIPCaptureDriver* driver = create();
  if (driver == nullptr) {
    std::fprintf(stderr, "smoke: the driver could not be created\n");
    dlclose(handle);
    return 1;
  }
  const bool opened = driver->Open(&log, &allocator, &device);
  std::printf("smoke: Open -> %s\n", opened ? "true" : "false");
  if (opened) {
    ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
    const bool streaming = capture != nullptr && capture->OpenChannel(0, &sink, &settings);
    std::printf("smoke: OpenChannel(0) -> %s\n", streaming ? "true" : "false");
    if (streaming) {
      std::this_thread::sleep_for(std::chrono::seconds(seconds > 0 ? seconds : 0));
      int32_t state = -1;
      int32_t detail = 0;
      char text[64] = "";
      capture->GetChannelState(0, &state, &detail, text, sizeof(text));
      std::printf("smoke: channel state %d\n", state);
      std::printf("smoke: CloseChannel(0) -> %s\n", capture->CloseChannel(0) ? "true" : "false");
    }
    sink.Print();
    driver->Close();
  }
  destroy(driver);
  dlclose(handle);
  std::printf("smoke: done\n");
  return opened ? 0 : 1;
}
