#include "support/udp_relay.h"

#include <random>
#include <vector>

namespace telvora {
namespace test {
namespace {

constexpr unsigned kSliceMs = 20;
constexpr unsigned kHoldMs = 100;

SOCKET BindLoopback(uint16_t port) {
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  int size = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  return s;
}

uint16_t LocalPort(SOCKET s) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

void Close(SOCKET& s) {
  if (s != INVALID_SOCKET) closesocket(s);
  s = INVALID_SOCKET;
}

}  // namespace

UdpRelay::UdpRelay(const UdpRelayOptions& options) : m_options(options), m_lossRate(options.lossRate) {
  // An even port from the system with its odd neighbour free as well.
  for (int attempt = 0; attempt < 64 && m_port == 0; ++attempt) {
    SOCKET probe = BindLoopback(0);
    if (probe == INVALID_SOCKET) break;
    const uint16_t port = LocalPort(probe) & 0xFFFE;
    Close(probe);
    if (port == 0) continue;
    m_rtp = BindLoopback(port);
    m_rtcp = m_rtp != INVALID_SOCKET ? BindLoopback(static_cast<uint16_t>(port + 1)) : INVALID_SOCKET;
    if (m_rtp != INVALID_SOCKET && m_rtcp != INVALID_SOCKET) {
      m_port = port;
      break;
    }
    Close(m_rtp);
    Close(m_rtcp);
  }
  m_out = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (m_port == 0 || m_out == INVALID_SOCKET) {
    m_port = 0;
    return;
  }
  m_thread = std::thread([this] { Run(); });
}

UdpRelay::~UdpRelay() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  Close(m_rtp);
  Close(m_rtcp);
  Close(m_out);
}

void UdpRelay::Run() {
  std::mt19937 random(m_options.seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::vector<unsigned char> buffer(65536);
  std::vector<unsigned char> held;
  unsigned heldFor = 0;
  uint32_t boundSource = 0;
  const auto sendTo = [this](const unsigned char* data, size_t length, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(m_destinationAddress.load());
    platform::SendSomeTo(m_out, data, static_cast<int>(length), reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    ++m_forwarded;
  };
  while (!m_stop) {
    const uint16_t destination = m_destination.load();
    // Only this thread sends, so the sending socket is swapped here.
    if (m_source.load() != boundSource) {
      boundSource = m_source.load();
      const SOCKET out = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      from.sin_addr.s_addr = htonl(boundSource);
      if (out != INVALID_SOCKET &&
          (boundSource == 0 || bind(out, reinterpret_cast<const sockaddr*>(&from), sizeof(from)) == 0)) {
        Close(m_out);
        m_out = out;
      } else if (out != INVALID_SOCKET) {
        closesocket(out);
      }
    }
    // RTCP first, without waiting; it is rare and passes unchanged.
    if (platform::WaitReadable(m_rtcp, 0) == platform::kWaitReady) {
      const int n = recv(m_rtcp, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
      if (n > 0 && destination != 0) sendTo(buffer.data(), static_cast<size_t>(n), destination + 1);
    }
    if (platform::WaitReadable(m_rtp, kSliceMs) != platform::kWaitReady) {
      // A datagram held back is let go when nothing follows it for a while.
      heldFor += kSliceMs;
      if (!held.empty() && heldFor >= kHoldMs) {
        if (destination != 0) sendTo(held.data(), held.size(), destination);
        held.clear();
      }
      continue;
    }
    const int n = recv(m_rtp, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
    if (n <= 0) continue;
    ++m_received;
    if (destination == 0 || chance(random) < m_lossRate.load()) {
      ++m_dropped;
      continue;
    }
    if (held.empty() && chance(random) < m_options.reorderRate) {
      held.assign(buffer.begin(), buffer.begin() + n);
      heldFor = 0;
      ++m_reordered;
      continue;
    }
    sendTo(buffer.data(), static_cast<size_t>(n), destination);
    if (!held.empty()) {
      sendTo(held.data(), held.size(), destination);
      held.clear();
    }
  }
}

}  // namespace test
}  // namespace telvora
