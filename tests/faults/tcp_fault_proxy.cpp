#include "tcp_fault_proxy.h"

namespace faults {

TcpFaultProxy::TcpFaultProxy(uint16_t upstreamPort)
    : m_proxy(upstreamPort, {[this](telvora::test::ProxyLink& link, std::string& pending) {
                               return ForwardRequests(link, pending);
                             },
                             nullptr, nullptr}) {}

std::vector<std::string> TcpFaultProxy::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t TcpFaultProxy::Count(const std::string& method) const {
  size_t n = 0;
  for (const std::string& request : Requests())
    if (request.compare(0, method.size() + 1, method + " ") == 0) ++n;
  return n;
}

bool TcpFaultProxy::ForwardRequests(telvora::test::ProxyLink& link, std::string& pending) {
  for (;;) {
    if (pending.empty()) return true;
    // Interleaved data from the client goes through untouched.
    if (pending[0] == '$') {
      const bool sent = link.ToServer(pending);
      pending.clear();
      return sent;
    }
    const size_t end = pending.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (pending.size() < 65536) return true;
      const bool sent = link.ToServer(pending);
      pending.clear();
      return sent;
    }
    const std::string request = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(request);
    }
    if (!link.ToServer(m_rewriter ? m_rewriter(request) : request)) return false;
  }
}

}  // namespace faults
