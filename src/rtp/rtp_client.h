// A UDP endpoint that receives datagrams on its own thread and hands them
// to a user. The receive queue and the RTCP handler sit on top of it.
#pragma once

#include <string>

#include "platform/sockets.h"

namespace telvora {

class IRTPClient;

// Callbacks of an IRTPClient, all on the client's receive thread. They must
// not take the client's lock and must not close the client.
class IRTPClientUser {
 public:
  virtual ~IRTPClientUser() {}
  // One datagram; data is valid only during the call. from is a sockaddr_in.
  virtual void DataReceived(IRTPClient* client, const sockaddr* from, const unsigned char* data, int length) = 0;
  // No datagram arrived within the client's time-out.
  virtual void ReceiveTimeout(IRTPClient* client) = 0;
  // The client was closed, or its socket failed for good.
  virtual void ClientClosed(IRTPClient* client) = 0;
};

class IRTPClient {
 public:
  virtual ~IRTPClient() {}
  // Binds the port on every interface and joins the IPv4 group (dotted
  // text). False, with the client closed, on any failure.
  virtual bool OpenMulticast(IRTPClientUser* user, const std::string& group, unsigned short port) = 0;
  // Binds the port on every interface. Port 0 takes a free port; GetPort()
  // tells which. False, with the client closed, on any failure.
  virtual bool Open(IRTPClientUser* user, unsigned short port) = 0;
  // Stops the receive thread and closes the socket; the user hears
  // ClientClosed if a socket was open. Returns the result of the join.
  virtual bool Close() = 0;
  // The datagram size the user expects. Receivers may take larger
  // datagrams whole regardless (the UDP client takes up to 65535 bytes).
  virtual void SetBufferSize(unsigned bytes) = 0;
  // How long the receive thread waits for a datagram before it reports
  // ReceiveTimeout. Takes effect at the next wait.
  virtual void SetTimeout(unsigned milliseconds) = 0;
  // The bound local port, 0 when closed.
  virtual unsigned short GetPort() = 0;
};

}  // namespace telvora
