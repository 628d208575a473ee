// The interleaved side of the replayer: one minimal RTSP server per stream
// on 127.0.0.1 (the stream's port, path /stream) that answers OPTIONS,
// DESCRIBE, SETUP (interleaved=0-1 only), PLAY, GET_PARAMETER and TEARDOWN
// on a thread of its own. The replayer's pacing loop hands it each RTP
// packet, which goes to the stream's playing connection framed as '$',
// channel 0, 16-bit length. A connection that cannot take a packet at once
// keeps it in a bounded queue; beyond that bound packets are dropped and
// counted, so one slow receiver never holds back the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "replayer.h"

namespace ingest {

class InterleavedServer : public PacketOutput {
 public:
  explicit InterleavedServer(const std::vector<StreamPlan>& plan);
  ~InterleavedServer() override;

  // Listens on every stream's port and starts serving. False, with the
  // reason, when a port cannot be had.
  bool Start(std::string* error);
  // Closes every connection and ends the thread; also done by the destructor.
  void Stop();

  // Streams with a connection in PLAY.
  size_t Playing() const;
  // Packets dropped because a receiver's queue was full.
  uint64_t Dropped() const { return m_dropped.load(); }

  // PacketOutput: false when the packet did not reach a playing connection.
  bool Send(size_t stream, const uint8_t* packet, size_t length) override;

  // The SDP answered to DESCRIBE: H.264 at 90 kHz, packetization-mode 1 and
  // the clip's parameter sets when its first key frame carries them.
  static std::string Sdp(const Clip& clip);

 private:
  struct Connection;
  struct Slot;

  void Serve();
  void HandleInput(const std::shared_ptr<Connection>& c);
  // One request; false when the connection is to be closed.
  bool Answer(const std::shared_ptr<Connection>& c, const std::string& request);
  void Close(const std::shared_ptr<Connection>& c);

  std::vector<StreamPlan> m_plan;
  std::vector<std::string> m_sdp;
  std::vector<int> m_listeners;
  std::unique_ptr<Slot[]> m_slots;
  std::vector<std::shared_ptr<Connection>> m_connections;  // the serving thread's only
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_dropped{0};
  std::thread m_thread;
};

}  // namespace ingest
