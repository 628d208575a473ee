// The one place the driver touches sockets. Code above the platform layer
// writes Winsock: SOCKET, INVALID_SOCKET, SOCKET_ERROR, closesocket,
// WSAGetLastError, the WSAE* error names, SD_BOTH, WSAStartup/WSACleanup.
// On Windows these are the real winsock2.h / ws2tcpip.h; on POSIX they map
// onto BSD sockets (WSAGetLastError reads errno, WSAStartup and WSACleanup
// do nothing).
//
// Plain BSD calls (socket, bind, connect, send, recv, sendto, recvfrom,
// setsockopt, shutdown, inet_addr, htons...) keep their names on both sides.
// Casting buffers and option values to (const) char* compiles on both.
//
// The helpers in telvora::platform smooth the places where the two differ:
// time-outs in milliseconds, waits that do not depend on FD_SETSIZE, a
// datagram larger than the buffer reported as WSAEMSGSIZE, sends that never
// raise SIGPIPE, IPv4 name resolution and a connect with a time limit.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#else  // POSIX

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

#define SD_RECEIVE SHUT_RD
#define SD_SEND SHUT_WR
#define SD_BOTH SHUT_RDWR

#define WSAEINTR EINTR
#define WSAEBADF EBADF
#define WSAEFAULT EFAULT
#define WSAEINVAL EINVAL
#define WSAEWOULDBLOCK EWOULDBLOCK
#define WSAEINPROGRESS EINPROGRESS
#define WSAEALREADY EALREADY
#define WSAENOTSOCK ENOTSOCK
#define WSAEMSGSIZE EMSGSIZE
#define WSAEADDRINUSE EADDRINUSE
#define WSAENETDOWN ENETDOWN
#define WSAENETUNREACH ENETUNREACH
#define WSAECONNABORTED ECONNABORTED
#define WSAECONNRESET ECONNRESET
#define WSAENOTCONN ENOTCONN
#define WSAESHUTDOWN ESHUTDOWN
#define WSAETIMEDOUT ETIMEDOUT
#define WSAECONNREFUSED ECONNREFUSED
#define WSAEHOSTUNREACH EHOSTUNREACH
// Winsock's own value; no errno of Linux comes near it.
#define WSANOTINITIALISED 10093

#ifndef MAKEWORD
#define MAKEWORD(low, high) \
  (static_cast<unsigned short>((static_cast<unsigned>(low) & 0xFF) | ((static_cast<unsigned>(high) & 0xFF) << 8)))
#endif

struct WSADATA {
  unsigned short wVersion;
  unsigned short wHighVersion;
};
typedef WSADATA* LPWSADATA;

inline int WSAStartup(unsigned short version, WSADATA* data) {
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = version;
  }
  return 0;
}
inline int WSACleanup() { return 0; }
inline int WSAGetLastError() { return errno; }
inline void WSASetLastError(int error) { errno = error; }
inline int closesocket(SOCKET s) { return ::close(s); }

#endif  // _WIN32

namespace telvora {
namespace platform {

// Result of WaitReadable/WaitWritable, besides SOCKET_ERROR.
constexpr int kWaitTimedOut = 0;
constexpr int kWaitReady = 1;

// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds on both platforms (POSIX takes
// a timeval, Windows a DWORD). 0 means no time-out. False on failure.
bool SetReceiveTimeout(SOCKET s, unsigned milliseconds);
bool SetSendTimeout(SOCKET s, unsigned milliseconds);

// Switches the socket between blocking and non-blocking mode.
bool SetNonBlocking(SOCKET s, bool nonBlocking);

// Waits until the socket is readable (or writable), at most the given time
// (kInfinite from threading/event.h is not special here: pass a real limit).
// Returns kWaitReady, kWaitTimedOut, or SOCKET_ERROR with WSAGetLastError()
// set. Works for any descriptor value; POSIX uses poll, so there is no
// FD_SETSIZE limit. A socket that was shut down counts as readable.
int WaitReadable(SOCKET s, unsigned milliseconds);
int WaitWritable(SOCKET s, unsigned milliseconds);

// True where a thread blocked in recvfrom returns at once when another
// thread shuts the socket down (Linux). There a receive thread can wait in
// recvfrom itself, with SO_RCVTIMEO as its time-out, and save a poll per
// datagram; elsewhere it waits with WaitReadable first.
bool ShutdownWakesBlockedReceive();

// recvfrom that reports a datagram longer than the buffer the Winsock way:
// SOCKET_ERROR with WSAGetLastError() == WSAEMSGSIZE (the datagram is lost).
// Otherwise as recvfrom: the byte count, 0, or SOCKET_ERROR.
int ReceiveFrom(SOCKET s, unsigned char* buffer, int length, sockaddr* from, socklen_t* fromLength);

// send / sendto that never raise SIGPIPE on a peer that has gone.
// As the system calls: bytes sent or SOCKET_ERROR.
int SendSome(SOCKET s, const unsigned char* data, int length);
int SendSomeTo(SOCKET s, const unsigned char* data, int length, const sockaddr* to, socklen_t toLength);

// Dotted text first, then an IPv4 getaddrinfo lookup (thread-safe).
// On success stores the address in network order. False for "" and for
// names that do not resolve to IPv4.
bool ResolveIPv4(const std::string& host, uint32_t* addressNetworkOrder);

// Connects a blocking TCP socket within the time limit. The socket is back
// in blocking mode afterwards. False on refusal, time-out or any error
// (WSAGetLastError() tells which; WSAETIMEDOUT for the time limit).
bool ConnectWithTimeout(SOCKET s, const sockaddr_in& address, unsigned milliseconds);

// Makes a UDP socket that joined a group receive only the groups it joined
// itself. Linux otherwise hands it every group any socket of the host joined
// on its port; elsewhere that is already so and this does nothing.
bool ReceiveOwnGroupsOnly(SOCKET s);

// "a.b.c.d" of an address in network order.
std::string FormatIPv4(uint32_t addressNetworkOrder);

}  // namespace platform
}  // namespace telvora
