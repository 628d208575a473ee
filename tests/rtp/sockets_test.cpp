#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "rtp/udp_peer.h"

namespace telvora {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  address.sin_port = htons(port);
  return address;
}

TEST(Sockets, ResolvesDottedTextAndLocalhost) {
  uint32_t address = 0;
  ASSERT_TRUE(platform::ResolveIPv4("127.0.0.1", &address));
  EXPECT_EQ(address, inet_addr("127.0.0.1"));
  ASSERT_TRUE(platform::ResolveIPv4("localhost", &address));
  EXPECT_EQ(platform::FormatIPv4(address).rfind("127.", 0), 0u);
  EXPECT_FALSE(platform::ResolveIPv4("", &address));
  EXPECT_FALSE(platform::ResolveIPv4("127.0.0.1", nullptr));
  EXPECT_EQ(platform::FormatIPv4(inet_addr("10.1.2.3")), "10.1.2.3");
}

TEST(Sockets, ConnectsWithinTheLimitAndReportsRefusal) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local = Loopback(0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length), 0);

  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(platform::ConnectWithTimeout(client, local, 2000));
  // Back in blocking mode with a receive time-out: recv waits, then fails.
  ASSERT_TRUE(platform::SetReceiveTimeout(client, 100));
  unsigned char byte = 0;
  const auto start = steady_clock::now();
  EXPECT_EQ(recv(client, reinterpret_cast<char*>(&byte), 1, 0), SOCKET_ERROR);
  EXPECT_GE(steady_clock::now() - start, milliseconds(80));
  EXPECT_EQ(platform::WaitReadable(client, 50), platform::kWaitTimedOut);
  closesocket(client);

  // Nobody listens on the port once the listener is gone.
  closesocket(listener);
  SOCKET refused = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_FALSE(platform::ConnectWithTimeout(refused, local, 2000));
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  closesocket(refused);
}

TEST(Sockets, SendingToAClosedPeerReportsAnErrorInsteadOfASignal) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local = Loopback(0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length), 0);
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(platform::ConnectWithTimeout(client, local, 2000));
  SOCKET accepted = accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);
  closesocket(accepted);
  closesocket(listener);
  const unsigned char data[1024] = {0};
  // The first send may still be taken; later ones meet the reset.
  int result = 0;
  for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) result = platform::SendSome(client, data, sizeof(data));
  EXPECT_EQ(result, SOCKET_ERROR);
  closesocket(client);
}

TEST(Sockets, TruncatedDatagramIsReportedAsTooLarge) {
  test::UdpPeer sender;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local = Loopback(0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&local), &length), 0);
  ASSERT_TRUE(sender.SendTo(ntohs(local.sin_port), std::vector<uint8_t>(100, 1)));
  ASSERT_TRUE(sender.SendTo(ntohs(local.sin_port), std::vector<uint8_t>(10, 2)));
  ASSERT_EQ(platform::WaitReadable(s, 2000), platform::kWaitReady);
  unsigned char buffer[50];
  sockaddr_in from;
  socklen_t fromLength = sizeof(from);
  EXPECT_EQ(platform::ReceiveFrom(s, buffer, sizeof(buffer), reinterpret_cast<sockaddr*>(&from), &fromLength),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
  ASSERT_EQ(platform::WaitReadable(s, 2000), platform::kWaitReady);
  fromLength = sizeof(from);
  EXPECT_EQ(platform::ReceiveFrom(s, buffer, sizeof(buffer), reinterpret_cast<sockaddr*>(&from), &fromLength), 10);
  closesocket(s);
}

}  // namespace
}  // namespace telvora
