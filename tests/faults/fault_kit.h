// Helpers of the fault tests: the driver loaded the way a recording server
// loads it, a host frame sink that can be told to misbehave, figures for the
// reliability report, and views of this process's resources.
//
// Every figure is printed as one line "FIGURE <name> <value> <unit>" on
// stdout, which scripts/reliability.sh collects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/orvalen_host.h"
#include "support/fake_frames.h"
#include "support/fake_host.h"
#include "support/wait_until.h"

namespace faults {

using Clock = std::chrono::steady_clock;

void Figure(const std::string& name, double value, const std::string& unit);
double Median(std::vector<double> values);
double Max(const std::vector<double>& values);

using telvora::test::WaitUntil;

// "rtsp://127.0.0.1:PORT/stream" -> "127.0.0.1:PORT", and the PORT alone.
std::string HostAndPort(const std::string& url);
uint16_t PortOf(const std::string& url);

// This process, from /proc/self.
size_t OpenFileDescriptors();
size_t ThreadCount();
size_t ResidentBytes();
// User plus system time of the whole process and of the calling thread.
double ProcessCpuSeconds();
double ThreadCpuSeconds();
// Bytes the C heap has handed out and not taken back (mallinfo2).
size_t HeapInUse();
bool UnderAddressSanitizer();

// Local UDP ports of this process's IPv4 sockets in the driver's probing
// range, 3556 to 4555.
std::vector<uint16_t> ProbedUdpPorts();

// Writes an Orvalen.xml that puts every channel on RTP inside the RTSP
// connection (tcp) or on UDP, into a fresh folder, and points
// ORVALEN_HOST_DIR at it. Call before the channel starts; the folder stays
// until the process ends.
void UseTransport(const std::string& transport);

// A frame sink as a recording server might have one. It counts frames,
// notes when each arrived, and can keep their bytes (up to a cap). It can
// also throw from OnFrame, or block in it for a while or until released.
class FaultSink : public telvora::IHostFrameSink {
 public:
  enum class Mode { kAccept, kThrow, kBlock };
  ~FaultSink() override;

  bool OnFrame(telvora::IVideoFrame* frame) override;
  void Reserved1() override {}
  void OnSignalLost() override { ++m_signalLost; }

  // kBlock holds every call until Release() or until blockMs has passed
  // since the call came in (0: no limit but Release and the destructor).
  void SetMode(Mode mode, unsigned blockMs = 0);
  void Release();
  // Keep the bytes of accepted frames, each frame as its own entry, up to
  // this many bytes in all.
  void KeepBytes(size_t limit) { m_keepLimit = limit; }

  size_t Frames() const { return m_frames.load(); }
  size_t Calls() const { return m_calls.load(); }
  size_t Blocked() const { return m_blocked.load(); }
  size_t SignalLost() const { return m_signalLost.load(); }
  // Arrival of the first frame accepted after the given moment, or
  // Clock::time_point() when none came.
  Clock::time_point FirstFrameAfter(Clock::time_point moment) const;
  bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) const;
  std::vector<std::vector<uint8_t>> KeptFrames() const;
  std::vector<uint32_t> KeptFormats() const;

 private:
  std::atomic<size_t> m_frames{0};
  std::atomic<size_t> m_calls{0};
  std::atomic<size_t> m_blocked{0};
  std::atomic<size_t> m_signalLost{0};
  size_t m_keepLimit = 0;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  Mode m_mode = Mode::kAccept;
  unsigned m_blockMs = 0;
  bool m_released = false;
  std::vector<Clock::time_point> m_arrivals;
  std::vector<std::vector<uint8_t>> m_kept;
  std::vector<uint32_t> m_keptFormats;
  size_t m_keptBytes = 0;
};

// The driver library, loaded once per process with dlopen, as a host loads
// it. Null functions when it could not be loaded (Error() says why).
struct DriverLibrary {
  static DriverLibrary& Get();
  telvora::ipcapture::IIPCaptureDriver* (*create)() = nullptr;
  void (*destroy)(telvora::ipcapture::IIPCaptureDriver*) = nullptr;
  std::string error;
};

// One device as a host opens it through the exports: the device record,
// a recording log sink, a frame allocator and the driver object.
class HostDevice {
 public:
  HostDevice();
  ~HostDevice();  // closes and deletes the driver if still open
  HostDevice(const HostDevice&) = delete;
  HostDevice& operator=(const HostDevice&) = delete;

  // address: "127.0.0.1:PORT" or an RTSP URL; path: device parameter 1.
  bool Open(const std::string& address, const std::string& path = "/stream", const std::string& user = "",
            const std::string& password = "");
  bool OpenChannel(telvora::IHostFrameSink* sink, uint32_t channel = 0);
  // Returns how long CloseChannel took, in milliseconds (-1 if it failed).
  double CloseChannel(uint32_t channel = 0);
  void Close();

  telvora::ipcapture::IIPCaptureDriver* Driver() { return m_driver; }
  telvora::test::FakeLogSink& Log() { return m_log; }
  telvora::test::FakeFrameAllocator& Allocator() { return m_allocator; }
  telvora::test::FakeHostDevice& Device() { return m_device; }
  // Every line the host was sent, one per line, "<level> <text>".
  std::string LogText();

 private:
  telvora::test::FakeHostDevice m_device;
  telvora::test::FakeLogSink m_log;
  telvora::test::FakeFrameAllocator m_allocator;
  telvora::test::FakeHostStreamSettings m_settings;
  telvora::ipcapture::IIPCaptureDriver* m_driver = nullptr;
};

// Sends UDP datagrams from a chosen loopback address on a thread of its own
// at a fixed rate, until stopped or the duration is over.
class UdpFlood {
 public:
  UdpFlood(std::string sourceAddress, uint16_t destinationPort, size_t datagramBytes, unsigned packetsPerSecond,
           unsigned durationMs);
  ~UdpFlood();
  // False when the source address cannot be bound.
  bool Start();
  void Stop();
  size_t Sent() const { return m_sent.load(); }
  // CPU time the sending thread used; valid after Stop().
  double SenderCpuSeconds() const { return m_cpu.load(); }
  // Make the datagrams RTP packets with this SSRC and a running sequence.
  void SetRtp(uint32_t ssrc) { m_ssrc = ssrc; m_rtp = true; }

 private:
  void Run();
  std::string m_source;
  uint16_t m_port;
  size_t m_bytes;
  unsigned m_rate;
  unsigned m_durationMs;
  bool m_rtp = false;
  uint32_t m_ssrc = 0;
  int m_socket = -1;
  std::atomic<bool> m_stop{false};
  std::atomic<size_t> m_sent{0};
  std::atomic<double> m_cpu{0};
  std::thread m_thread;
};

}  // namespace faults
