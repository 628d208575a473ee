// A plain UDP socket on loopback that plays the camera in tests: it sends
// datagrams to the code under test and reads what comes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockets.h"

namespace telvora {
namespace test {

class UdpPeer {
 public:
  // Binds the address (a 127.x.y.z) on a free port.
  explicit UdpPeer(const char* address = "127.0.0.1");
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool IsOpen() const { return m_socket != INVALID_SOCKET; }
  unsigned short Port() const { return m_port; }
  uint32_t Address() const { return m_address; }  // network order

  bool SendTo(unsigned short port, const std::vector<uint8_t>& data, const char* address = "127.0.0.1");
  // One datagram within the time, or false. from, if given, gets its source.
  bool Receive(std::vector<uint8_t>* data, unsigned milliseconds, sockaddr_in* from = nullptr);
  // Everything that arrives within the time.
  std::vector<std::vector<uint8_t>> ReceiveAll(unsigned milliseconds);

 private:
  SOCKET m_socket;
  unsigned short m_port;
  uint32_t m_address;
};

// A free UDP port on loopback (bound and released at once).
unsigned short FreeUdpPort();
// A free pair (even, even + 1), as an RTP/RTCP pair.
unsigned short FreeUdpPortPair();

// An RTP datagram with a version-2 header and the given payload.
std::vector<uint8_t> MakeRtp(uint16_t sequence, uint32_t timestamp, uint32_t ssrc, size_t payloadSize,
                             bool marker = false);

}  // namespace test
}  // namespace telvora
