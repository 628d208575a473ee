#include "support/scripted_rtsp_server.h"

#include <cstring>

#include "platform/sockets.h"
#include "support/loopback_listener.h"

namespace telvora {
namespace test {
namespace {

constexpr unsigned kAcceptTimeoutMs = 10000;
constexpr unsigned kSliceMs = 20;

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n\n";
    else if (c < 0x20 || c > 0x7E) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else out += static_cast<char>(c);
  }
  return out;
}

}  // namespace

ScriptedRtspServer::ScriptedRtspServer()
    : m_listener(INVALID_SOCKET), m_connection(INVALID_SOCKET), m_port(0), m_stop(false), m_accepted(false),
      m_done(false) {
  m_listener = ListenOnLoopback(0, &m_port, 4);
}

ScriptedRtspServer::~ScriptedRtspServer() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_connection != INVALID_SOCKET) closesocket(m_connection);
  if (m_listener != INVALID_SOCKET) closesocket(m_listener);
}

ScriptedRtspServer& ScriptedRtspServer::Expect(const std::string& request, unsigned timeoutMs) {
  return ExpectWith(
      [request](const std::string& got) {
        return got == request ? std::string()
                              : "expected request:\n" + Printable(request) + "\ngot:\n" + Printable(got);
      },
      timeoutMs);
}

ScriptedRtspServer& ScriptedRtspServer::ExpectWith(Check check, unsigned timeoutMs) {
  Step step{Step::kExpect, {}, std::move(check), {}, 0, timeoutMs, 0};
  m_steps.push_back(step);
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::ExpectAny(unsigned timeoutMs) {
  return ExpectWith([](const std::string&) { return std::string(); }, timeoutMs);
}

ScriptedRtspServer& ScriptedRtspServer::Send(const std::string& bytes) { return SendSplit(bytes, {}, 0); }

ScriptedRtspServer& ScriptedRtspServer::SendSplit(const std::string& bytes, const std::vector<size_t>& cuts,
                                                  unsigned pauseMs) {
  Step step{Step::kSend, bytes, nullptr, cuts, pauseMs, 0, 0};
  m_steps.push_back(step);
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::SendSlowly(const std::string& bytes, unsigned pauseMs) {
  std::vector<size_t> cuts;
  for (size_t i = 1; i < bytes.size(); ++i) cuts.push_back(i);
  return SendSplit(bytes, cuts, pauseMs);
}

ScriptedRtspServer& ScriptedRtspServer::Delay(unsigned milliseconds) {
  m_steps.push_back(Step{Step::kDelay, {}, nullptr, {}, milliseconds, 0, 0});
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::Stream(const std::string& bytes, unsigned intervalMs, unsigned durationMs) {
  m_steps.push_back(Step{Step::kStream, bytes, nullptr, {}, 0, durationMs, intervalMs});
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::Listen(unsigned durationMs) {
  m_steps.push_back(Step{Step::kListen, {}, nullptr, {}, 0, durationMs, 0});
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::ExpectClosed(unsigned timeoutMs) {
  m_steps.push_back(Step{Step::kExpectClosed, {}, nullptr, {}, 0, timeoutMs, 0});
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::Close() {
  m_steps.push_back(Step{Step::kClose, {}, nullptr, {}, 0, 0, 0});
  return *this;
}

ScriptedRtspServer& ScriptedRtspServer::Reaccept(unsigned timeoutMs) {
  m_steps.push_back(Step{Step::kReaccept, {}, nullptr, {}, 0, timeoutMs, 0});
  return *this;
}

bool ScriptedRtspServer::AcceptOne(unsigned timeoutMs) {
  unsigned waited = 0;
  while (!m_stop && waited < timeoutMs) {
    if (platform::WaitReadable(m_listener, kSliceMs) == platform::kWaitReady) {
      m_connection = accept(m_listener, nullptr, nullptr);
      if (m_connection != INVALID_SOCKET) ++m_connections;
      return m_connection != INVALID_SOCKET;
    }
    waited += kSliceMs;
  }
  return false;
}

void ScriptedRtspServer::Start() {
  if (m_listener == INVALID_SOCKET) {
    Fail("no listener");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    return;
  }
  m_thread = std::thread([this] { Run(); });
}

bool ScriptedRtspServer::WaitDone(unsigned milliseconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_doneChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_done; });
}

std::vector<std::string> ScriptedRtspServer::Failures() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failures;
}

std::vector<ScriptedRtspServer::Request> ScriptedRtspServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t ScriptedRtspServer::CountRequests(const std::string& method) const {
  size_t count = 0;
  for (const Request& r : Requests()) {
    if (r.text.compare(0, method.size() + 1, method + " ") == 0) ++count;
  }
  return count;
}

std::string ScriptedRtspServer::InterleavedFrame(uint8_t channel, const std::string& payload) {
  std::string frame = "$";
  frame += static_cast<char>(channel);
  frame += static_cast<char>((payload.size() >> 8) & 0xFF);
  frame += static_cast<char>(payload.size() & 0xFF);
  return frame + payload;
}

std::string ScriptedRtspServer::RtpPacket(uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                                          bool marker, const std::string& payload) {
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>((marker ? 0x80 : 0) | (payloadType & 0x7F));
  p[2] = static_cast<char>(sequence >> 8);
  p[3] = static_cast<char>(sequence);
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
    p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return p + payload;
}

std::string ScriptedRtspServer::CSeqOf(const std::string& request) {
  const size_t at = request.find("\r\nCSeq: ");
  if (at == std::string::npos) return std::string();
  const size_t start = at + 8;
  return request.substr(start, request.find("\r\n", start) - start);
}

std::chrono::milliseconds ScriptedRtspServer::Since() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_acceptedAt);
}

void ScriptedRtspServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failures.push_back(what);
}

void ScriptedRtspServer::Run() {
  AcceptOne(kAcceptTimeoutMs);
  if (m_connection == INVALID_SOCKET) {
    if (!m_stop) Fail("no connection was made");
  } else {
    m_acceptedAt = std::chrono::steady_clock::now();
    m_accepted = true;
    for (const Step& step : m_steps) {
      if (m_stop || !PlayStep(step)) break;
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_done = true;
  m_doneChanged.notify_all();
}

bool ScriptedRtspServer::PlayStep(const Step& step) {
  switch (step.kind) {
    case Step::kExpect: {
      std::string request;
      bool closed = false;
      if (!ReadRequest(step.timeoutMs, request, &closed)) {
        Fail(closed ? "the client closed the connection while a request was expected"
                    : "no request within " + std::to_string(step.timeoutMs) + " ms");
        return false;
      }
      const std::string wrong = step.check(request);
      if (!wrong.empty()) {
        Fail(wrong);
        closesocket(m_connection);
        m_connection = INVALID_SOCKET;
        return false;
      }
      return true;
    }
    case Step::kSend: {
      const std::string bytes = WithCSeq(step.bytes, m_lastCSeq);
      size_t from = 0;
      for (size_t cut : step.cuts) {
        if (cut <= from || cut >= bytes.size()) continue;
        if (!SendAll(bytes.substr(from, cut - from))) return false;
        from = cut;
        for (unsigned t = 0; t < step.pauseMs && !m_stop; t += kSliceMs)
          std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, step.pauseMs - t)));
        if (m_stop) return false;
      }
      return SendAll(bytes.substr(from));
    }
    case Step::kDelay:
      for (unsigned t = 0; t < step.pauseMs && !m_stop; t += kSliceMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, step.pauseMs - t)));
      return !m_stop;
    case Step::kStream:
    case Step::kListen: {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.timeoutMs);
      auto nextSend = std::chrono::steady_clock::now();
      while (!m_stop && std::chrono::steady_clock::now() < end) {
        if (step.kind == Step::kStream && std::chrono::steady_clock::now() >= nextSend) {
          if (!SendAll(step.bytes)) return false;
          nextSend += std::chrono::milliseconds(step.intervalMs);
        }
        bool closed = false;
        if (platform::WaitReadable(m_connection, step.kind == Step::kStream ? 1 : kSliceMs) == platform::kWaitReady)
          DrainRequests(&closed);
        if (closed) return true;
      }
      return !m_stop;
    }
    case Step::kExpectClosed: {
      std::string request;
      bool closed = false;
      if (ReadRequest(step.timeoutMs, request, &closed)) {
        Fail("expected the client to close, got:\n" + Printable(request));
        return false;
      }
      if (!closed) Fail("the client did not close within " + std::to_string(step.timeoutMs) + " ms");
      return closed;
    }
    case Step::kClose:
      closesocket(m_connection);
      m_connection = INVALID_SOCKET;
      return false;
    case Step::kReaccept:
      if (m_connection != INVALID_SOCKET) closesocket(m_connection);
      m_connection = INVALID_SOCKET;
      m_input.clear();
      if (!AcceptOne(step.timeoutMs)) {
        if (!m_stop) Fail("no new connection within " + std::to_string(step.timeoutMs) + " ms");
        return false;
      }
      return true;
  }
  return false;
}

bool ScriptedRtspServer::SendAll(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = platform::SendSome(m_connection, reinterpret_cast<const unsigned char*>(bytes.data()) + sent,
                                     static_cast<int>(bytes.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void ScriptedRtspServer::DrainRequests(bool* closed) {
  char buffer[4096];
  const int n = recv(m_connection, buffer, sizeof(buffer), 0);
  if (n <= 0) {
    *closed = true;
    return;
  }
  m_input.append(buffer, static_cast<size_t>(n));
  for (size_t end = m_input.find("\r\n\r\n"); end != std::string::npos; end = m_input.find("\r\n\r\n")) {
    Request r{m_input.substr(0, end + 4), Since()};
    m_input.erase(0, end + 4);
    m_lastCSeq = CSeqOf(r.text);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(r);
  }
}

bool ScriptedRtspServer::ReadRequest(unsigned timeoutMs, std::string& request, bool* closed) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t blank = m_input.find("\r\n\r\n");
    if (blank != std::string::npos) {
      request = m_input.substr(0, blank + 4);
      m_input.erase(0, blank + 4);
      m_lastCSeq = CSeqOf(request);
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(Request{request, Since()});
      return true;
    }
    if (m_stop || std::chrono::steady_clock::now() >= end) return false;
    if (platform::WaitReadable(m_connection, kSliceMs) != platform::kWaitReady) continue;
    char buffer[4096];
    const int n = recv(m_connection, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      *closed = true;
      return false;
    }
    m_input.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace test
}  // namespace telvora
