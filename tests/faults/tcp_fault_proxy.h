// The test kit's TCP proxy between the driver and an RTSP server, with the
// requests the client sends recorded and, if the test wants, rewritten (for
// instance the client ports of SETUP).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/tcp_proxy.h"

namespace faults {

class TcpFaultProxy {
 public:
  using Rewriter = std::function<std::string(const std::string& request)>;

  explicit TcpFaultProxy(uint16_t upstreamPort);

  uint16_t Port() const { return m_proxy.Port(); }
  // Applied to every whole request (up to its empty line) before it goes
  // upstream. Set before the first connection.
  void SetRewriter(Rewriter rewriter) { m_rewriter = std::move(rewriter); }
  void ResetAll() { m_proxy.ResetAll(); }
  void Stall(std::chrono::milliseconds duration) { m_proxy.Stall(duration); }
  unsigned Connections() const { return m_proxy.Connections(); }
  unsigned Resets() const { return m_proxy.Resets(); }
  // Every request as the client sent it, before rewriting.
  std::vector<std::string> Requests() const;
  size_t Count(const std::string& method) const;

 private:
  bool ForwardRequests(telvora::test::ProxyLink& link, std::string& pending);

  Rewriter m_rewriter;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_requests;
  telvora::test::TcpProxy m_proxy;  // last: its threads end before the rest goes
};

}  // namespace faults
