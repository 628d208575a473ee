#include "rtp/udp_peer.h"

#include <chrono>
#include <cstring>

namespace telvora {
namespace test {

UdpPeer::UdpPeer(const char* address) : m_socket(INVALID_SOCKET), m_port(0), m_address(inet_addr(address)) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  int size = 4 * 1024 * 1024;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = m_address;
  local.sin_port = 0;
  socklen_t length = sizeof(local);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    closesocket(s);
    return;
  }
  m_socket = s;
  m_port = ntohs(local.sin_port);
}

UdpPeer::~UdpPeer() {
  if (m_socket != INVALID_SOCKET) closesocket(m_socket);
}

bool UdpPeer::SendTo(unsigned short port, const std::vector<uint8_t>& data, const char* address) {
  sockaddr_in to;
  std::memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr(address);
  to.sin_port = htons(port);
  const int n = platform::SendSomeTo(m_socket, data.data(), static_cast<int>(data.size()),
                                     reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  return n == static_cast<int>(data.size());
}

bool UdpPeer::Receive(std::vector<uint8_t>* data, unsigned milliseconds, sockaddr_in* source) {
  if (platform::WaitReadable(m_socket, milliseconds) != platform::kWaitReady) return false;
  data->assign(65536, 0);
  sockaddr_in from;
  socklen_t length = sizeof(from);
  const int n = platform::ReceiveFrom(m_socket, data->data(), static_cast<int>(data->size()),
                                      reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return false;
  data->resize(static_cast<size_t>(n));
  if (source != nullptr) *source = from;
  return true;
}

std::vector<std::vector<uint8_t>> UdpPeer::ReceiveAll(unsigned milliseconds) {
  std::vector<std::vector<uint8_t>> all;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    std::vector<uint8_t> one;
    if (Receive(&one, static_cast<unsigned>(left.count()))) all.push_back(one);
  }
  return all;
}

unsigned short FreeUdpPort() {
  UdpPeer probe("127.0.0.1");
  return probe.Port();
}

unsigned short FreeUdpPortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    unsigned short port = FreeUdpPort();
    if (port == 0 || port >= 65534) continue;
    port = static_cast<unsigned short>(port & ~1u);
    // Both must be free for the test to own them.
    SOCKET a = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKET b = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local;
    std::memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    bool ok = bind(a, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
    local.sin_port = htons(static_cast<unsigned short>(port + 1));
    ok = ok && bind(b, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
    closesocket(a);
    closesocket(b);
    if (ok) return port;
  }
  return 0;
}

std::vector<uint8_t> MakeRtp(uint16_t sequence, uint32_t timestamp, uint32_t ssrc, size_t payloadSize, bool marker) {
  std::vector<uint8_t> packet(12 + payloadSize);
  packet[0] = 0x80;
  packet[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | 96);
  packet[2] = static_cast<uint8_t>(sequence >> 8);
  packet[3] = static_cast<uint8_t>(sequence);
  packet[4] = static_cast<uint8_t>(timestamp >> 24);
  packet[5] = static_cast<uint8_t>(timestamp >> 16);
  packet[6] = static_cast<uint8_t>(timestamp >> 8);
  packet[7] = static_cast<uint8_t>(timestamp);
  packet[8] = static_cast<uint8_t>(ssrc >> 24);
  packet[9] = static_cast<uint8_t>(ssrc >> 16);
  packet[10] = static_cast<uint8_t>(ssrc >> 8);
  packet[11] = static_cast<uint8_t>(ssrc);
  for (size_t i = 0; i < payloadSize; ++i) packet[12 + i] = static_cast<uint8_t>(sequence + i);
  return packet;
}

}  // namespace test
}  // namespace telvora
