// The host side of the driver boundary, for tests: objects built from plain
// values that answer the driver's calls, a log sink and a frame sink that
// record what the driver sends. Every class here is safe to call from the
// driver's threads while the test reads it; set the plain value fields
// before handing an object to the driver.
//
//   FakeHostDevice device;                  // model "X100", 1 input
//   device.connection.address = "rtsp://cam.local:8554/live/ch1";
//   device.parameters[1] = "/live/ch1";     // a missing index answers null
//   FakeLogSink log;
//   driver->Open(&log, &allocator, &device);
//   EXPECT_EQ(log.Logs().CountAtLevel(3, "DRIVER IS OPENED"), 1u);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/orvalen_host.h"
#include "base/system_time.h"
#include "support/log_recorder.h"

namespace telvora {
namespace test {

// Records every line the driver writes, with the level as the host gets it.
// A null text is recorded as "".
class FakeLogSink : public IHostLogSink {
 public:
  void Write(CDebugInfoIf* info) override;
  LogRecorder& Logs() { return m_log; }
  // Number of Write calls whose record had a null text.
  size_t NullTexts() const;

 private:
  LogRecorder m_log;
  mutable std::mutex m_mutex;
  size_t m_nullTexts = 0;
};

class FakeHostDeviceModel : public IHostDeviceModel {
 public:
  const char* GetModelName() override { return name.c_str(); }
  uint32_t GetVideoInputCount() override { return videoInputs; }
  uint32_t GetValueA() override { return valueA; }
  uint32_t GetValueB() override { return valueB; }

  std::string name = "X100";
  uint32_t videoInputs = 1;
  uint32_t valueA = 0;
  uint32_t valueB = 0;
};

class FakeHostConnection : public IHostConnection {
 public:
  const char* GetAddress() override { return address.c_str(); }
  uint16_t GetPort() override { return port; }
  uint32_t GetConnectionValue() override { return connectionValue; }
  const char* GetUserName() override { return userName.c_str(); }
  const char* GetPassword() override { return password.c_str(); }

  std::string address = "127.0.0.1";
  uint16_t port = 554;
  uint32_t connectionValue = 0;
  std::string userName;
  std::string password;
};

class FakeHostDevice : public IHostDevice {
 public:
  IHostDeviceModel* GetModel() override { return nullModel ? nullptr : &model; }
  IHostConnection* GetConnection() override { return nullConnection ? nullptr : &connection; }
  // The text stored under the index, or null when there is none.
  const char* GetDeviceParameter(uint32_t index) override;
  // Every index the driver asked for, in order.
  std::vector<uint32_t> AskedParameters() const;

  FakeHostDeviceModel model;
  FakeHostConnection connection;
  std::map<uint32_t, std::string> parameters;
  bool nullModel = false;
  bool nullConnection = false;

 private:
  mutable std::mutex m_mutex;
  std::vector<uint32_t> m_asked;
};

class FakeHostFrameSize : public IHostFrameSize {
 public:
  FakeHostFrameSize(uint16_t s1 = 0, uint16_t s2 = 0) : size1(s1), size2(s2) {}
  uint16_t GetSize1() override { return size1; }
  uint16_t GetSize2() override { return size2; }
  uint16_t size1;
  uint16_t size2;
};

class FakeHostStreamFormat : public IHostStreamFormat {
 public:
  IHostFrameSize* GetFrameSize() override { return nullFrameSize ? nullptr : &frameSize; }
  uint32_t GetFormatValue() override { return formatValue; }
  FakeHostFrameSize frameSize;
  uint32_t formatValue = 0;
  bool nullFrameSize = false;
};

class FakeHostStreamOptions : public IHostStreamOptions {
 public:
  uint16_t GetOption1() override { return option1; }
  uint16_t GetOption2() override { return option2; }
  uint32_t WantsSecondary() override { return wantsSecondary; }
  uint16_t option1 = 0;
  uint16_t option2 = 0;
  uint32_t wantsSecondary = 0;
};

// The stream settings of OpenChannel / OpenSubChannel.
class FakeHostStreamSettings : public IHostStreamSettings {
 public:
  IHostStreamFormat* GetFormat() override { return nullFormat ? nullptr : &format; }
  IHostStreamOptions* GetOptions() override { return nullOptions ? nullptr : &options; }
  uint32_t GetOptionValue() override { return optionValue; }
  FakeHostStreamFormat format;
  FakeHostStreamOptions options;
  uint32_t optionValue = 0;
  bool nullFormat = false;
  bool nullOptions = false;
};

// A copy of one frame as the sink saw it. Bytes, format and size are known
// only for frames of FakeFrameAllocator (support/fake_frames.h); the time
// comes from the frame's GetTime.
struct ReceivedFrame {
  std::vector<uint8_t> bytes;
  uint32_t format = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  SYSTEMTIME time{};
};

// Receives frames and signal-loss notices. By default it accepts every
// frame; it can refuse them, throw from OnFrame, or block in OnFrame until
// Unblock (or its destruction).
class FakeFrameSink : public IHostFrameSink {
 public:
  enum class Mode { kAccept, kRefuse, kThrow, kBlock };
  ~FakeFrameSink() override;

  bool OnFrame(IVideoFrame* frame) override;
  void Reserved1() override {}
  void OnSignalLost() override;

  void SetMode(Mode mode);
  // Lets blocked and later OnFrame calls through (the mode becomes kAccept).
  void Unblock();

  // Frames accepted (copies kept only for accepted frames).
  std::vector<ReceivedFrame> Frames() const;
  size_t FrameCount() const;
  // Every OnFrame call, whatever the mode.
  size_t OnFrameCalls() const;
  size_t SignalLostCount() const;
  // True once OnFrame has been called at least this often (any mode).
  bool WaitForCalls(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForSignalLost(size_t count, std::chrono::milliseconds timeout) const;
  // True while a call is held in OnFrame by kBlock.
  bool IsBlocked() const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  Mode m_mode = Mode::kAccept;
  std::vector<ReceivedFrame> m_frames;
  size_t m_calls = 0;
  size_t m_signalLost = 0;
  size_t m_blocked = 0;
};

}  // namespace test
}  // namespace telvora
