// A lossy UDP relay on 127.0.0.1 for tests of the RTP path: it receives on
// a port pair of its own (RTP on the even port, RTCP on the next) and
// forwards to another pair, dropping and reordering RTP datagrams at the
// given rates. RTCP passes unchanged. The destination may be set or changed
// while the relay runs (for instance once the client ports of SETUP are
// known); until it is set, datagrams are counted and dropped.
//
//   UdpRelay relay({0.05, 0.05, 7});   // 5 % loss, 5 % swapped with the next
//   relay.SetDestination(clientRtpPort);
//   ... camera sends to relay.Port() ...
//
// One thread; the destructor ends it and closes both sockets. The random
// choices come from the seed, so a run can be repeated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "platform/sockets.h"

namespace telvora {
namespace test {

struct UdpRelayOptions {
  double lossRate = 0;     // share of RTP datagrams dropped
  double reorderRate = 0;  // share held back and sent after the next one
  unsigned seed = 1;
};

class UdpRelay {
 public:
  explicit UdpRelay(const UdpRelayOptions& options);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  // The RTP port (even; RTCP on Port() + 1), 0 when no pair could be bound.
  uint16_t Port() const { return m_port; }
  // RTP goes to rtpPort, RTCP to rtpPort + 1, both on 127.0.0.1 unless
  // SetDestinationAddress names another (a multicast group, say).
  void SetDestination(uint16_t rtpPort) { m_destination = rtpPort; }
  void SetDestinationAddress(uint32_t hostOrder) { m_destinationAddress = hostOrder; }
  // Sends from this local address from now on (0: whichever the system
  // picks), as a camera that moved to another address would.
  void SetSourceAddress(uint32_t hostOrder) { m_source = hostOrder; }
  // Changes the share of RTP datagrams dropped from now on.
  void SetLossRate(double rate) { m_lossRate = rate; }

  size_t Received() const { return m_received.load(); }
  size_t Dropped() const { return m_dropped.load(); }
  size_t Reordered() const { return m_reordered.load(); }
  size_t Forwarded() const { return m_forwarded.load(); }

 private:
  void Run();

  UdpRelayOptions m_options;
  SOCKET m_rtp = INVALID_SOCKET;
  SOCKET m_rtcp = INVALID_SOCKET;
  SOCKET m_out = INVALID_SOCKET;
  std::atomic<bool> m_stop{false};
  uint16_t m_port = 0;
  std::atomic<uint16_t> m_destination{0};
  std::atomic<uint32_t> m_destinationAddress{0x7F000001};
  std::atomic<uint32_t> m_source{0};
  std::atomic<double> m_lossRate{0};
  std::atomic<size_t> m_received{0};
  std::atomic<size_t> m_dropped{0};
  std::atomic<size_t> m_reordered{0};
  std::atomic<size_t> m_forwarded{0};
  std::thread m_thread;
};

}  // namespace test
}  // namespace telvora
