// Helpers of the channel tests: media made with FFmpeg and cut into RTP
// packets, a paced RTP sender thread, and views of this process's threads
// and sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/orvalen_host.h"
#include "support/fake_driver.h"
#include "support/fake_frames.h"
#include "support/fake_host.h"
#include "support/rtp_sender.h"
#include "support/wait_until.h"

namespace telvora {
namespace test {

// Entries of /proc/self/task.
size_t CountOwnThreads();
// The names of this process's threads, for failure messages.
std::string OwnThreadNames();
// Waits up to the time for the thread count to come down to at most count.
bool WaitForThreadCount(size_t count, std::chrono::milliseconds timeout);
// UDP sockets this process holds (IPv4), from /proc/self/fd and /proc/net/udp.
size_t CountOwnUdpSockets();
// Local ports of this process's IPv4 UDP sockets.
std::vector<uint16_t> OwnUdpPorts();
// Those in the channels' probing range, 3556 to 4555.
size_t CountOwnProbedPorts();

// An even UDP port on 127.0.0.1 whose pair is free right now, outside the
// channels' probing range.
uint16_t FindFreeUdpPortPair();

bool HaveFfmpeg();
// Elementary streams made once per process: 320x240, 25 frames, a key
// frame every 10. Empty when FFmpeg is missing or fails.
const std::vector<uint8_t>& H264Stream();
const std::vector<uint8_t>& Mpeg4StreamWithoutGov();
// A baseline JPEG image of 320x240 with standard tables.
const std::vector<uint8_t>& JpegImageBytes();

// RTP packets of each stream, in frame order.
std::vector<RtpDatagram> H264Packets(const RtpStreamSettings& settings = RtpStreamSettings());
std::vector<RtpDatagram> Mpeg4Packets(const RtpStreamSettings& settings = RtpStreamSettings());
std::vector<RtpDatagram> JpegPackets(const RtpStreamSettings& settings, size_t frames);

// Sends a packet list round and round on its own thread, one frame every
// interval, with sequence numbers and timestamps running on across rounds.
class PacedRtpSender {
 public:
  // destination: dotted IPv4 (unicast or a multicast group).
  PacedRtpSender(std::vector<RtpDatagram> packets, std::string destination, uint16_t port,
                 unsigned frameIntervalMs = 40);
  ~PacedRtpSender();  // stops the thread
  void Start();
  void Stop();
  void SetSending(bool sending) { m_sending = sending; }
  // Sends from this local address (before Start).
  void SetSource(const std::string& source) { m_source = source; }
  // Packets after this call carry the new SSRC.
  void SetSsrc(uint32_t ssrc) { m_ssrc = ssrc; }
  // RTP ticks added per frame (3600 by default: 25 frames a second).
  void SetTimestampStep(uint32_t step) { m_step = step; }
  size_t FramesSent() const { return m_framesSent.load(); }

 private:
  void Run();
  std::vector<RtpDatagram> m_packets;
  std::string m_destination;
  std::string m_source;
  uint16_t m_port;
  unsigned m_intervalMs;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_sending{true};
  std::atomic<uint32_t> m_ssrc{0};
  std::atomic<uint32_t> m_step{3600};
  std::atomic<size_t> m_framesSent{0};
  std::thread m_thread;
};

// Also notes, for every accepted frame, its time minus the wall clock at
// delivery, and when the last one came.
class TimedFrameSink : public FakeFrameSink {
 public:
  bool OnFrame(IVideoFrame* frame) override;
  std::vector<int64_t> OffsetsMs() const;
  std::chrono::steady_clock::time_point LastFrameAt() const;

 private:
  mutable std::mutex m_timesMutex;
  std::vector<int64_t> m_offsets;
  std::chrono::steady_clock::time_point m_last;
};

// Calls back into the host interface once, from inside OnFrame or
// OnSignalLost, when armed.
class CallingSink : public TimedFrameSink {
 public:
  bool OnFrame(IVideoFrame* frame) override {
    if (onFrame.exchange(false)) Call();
    return TimedFrameSink::OnFrame(frame);
  }
  void OnSignalLost() override {
    if (onSignalLost.exchange(false)) Call();
    TimedFrameSink::OnSignalLost();
  }
  std::function<bool()> call;
  std::atomic<bool> onFrame{false};
  std::atomic<bool> onSignalLost{false};
  std::atomic<int> results{0};  // 1 + the call's result, once it returned

 private:
  void Call() { results = call() ? 2 : 1; }
};

// One device as a channel sees it: 127.0.0.1 by default, short time-outs
// (1 s for the connection, 2 s without data), frames from a fake allocator.
struct DeviceRig {
  explicit DeviceRig(uint16_t port, const std::string& address = "127.0.0.1");
  FakeDriver driver;
  FakeFrameAllocator allocator;
  TimedFrameSink sink;
};

// Sends one datagram from an ephemeral port; false when it failed.
bool SendDatagram(const std::vector<uint8_t>& bytes, const std::string& destination, uint16_t port);

// A temporary folder with a trailing '/', removed with its files.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& Path() const { return m_path; }
  bool Write(const std::string& name, const std::string& text) const;

 private:
  std::string m_path;
};

// The configuration file that puts every channel of every device on RTP
// interleaved in the RTSP connection.
std::string InterleavedConfiguration();

// SYSTEMTIME (UTC) to milliseconds since the Unix epoch.
int64_t SystemTimeToUnixMs(const SYSTEMTIME& time);
int64_t NowUnixMs();

}  // namespace test
}  // namespace telvora
