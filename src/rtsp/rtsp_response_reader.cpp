#include "rtsp/rtsp_response_reader.h"

#include "rtsp/rtsp_response_parser.h"
#include "base/text_helpers.h"

namespace telvora {
namespace {

bool IsTokenChar(char c) { return (c >= 'A' && c <= 'Z') || c == '_'; }

// Whether text can be, or can grow into, the first line of an RTSP message:
// "RTSP/..." or an upper-case method word and a blank.
bool CanStartMessage(const std::string& text) {
  static const std::string kProtocol = "RTSP/";
  const size_t n = text.size() < kProtocol.size() ? text.size() : kProtocol.size();
  if (text.compare(0, n, kProtocol, 0, n) == 0) return true;
  size_t i = 0;
  while (i < text.size() && i < 32 && IsTokenChar(text[i])) ++i;
  if (i == 0) return false;
  return i == text.size() || (i < 32 && text[i] == ' ');
}

}  // namespace

unsigned long long FindContentLength(const std::string& headers) {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    const std::string line = headers.substr(start, end - start);
    if (HeaderName(line) == "content-length") return LeadingNumber(HeaderValue(line), ~0ull);
    start = end + 2;
  }
  return 0;
}

CRTSPResponseReader::State CRTSPResponseReader::Append(const uint8_t* data, size_t length) {
  if (m_state == kHeaderLimit || m_state == kBodyLimit) return m_state;
  if (data != nullptr && length > 0) m_buffer.append(reinterpret_cast<const char*>(data), length);
  Advance();
  return m_state;
}

void CRTSPResponseReader::Advance() {
  if (m_state == kComplete) return;
  if (m_total == 0) {
    // Interleaved data may precede the answer on the same connection.
    for (;;) {
      size_t skip = 0;
      while (skip < m_buffer.size() && (m_buffer[skip] == '\r' || m_buffer[skip] == '\n')) ++skip;
      if (skip > 0) {
        m_buffer.erase(0, skip);
        m_searchFrom = 0;
      }
      if (m_buffer.empty()) return;
      if (m_buffer[0] != '$') {
        if (CanStartMessage(m_buffer)) break;
        // Garbage from the camera: resume at the next byte that may begin
        // a frame or a message.
        size_t next = 1;
        while (next < m_buffer.size() && m_buffer[next] != '$' && !IsTokenChar(m_buffer[next])) ++next;
        m_buffer.erase(0, next);
        m_searchFrom = 0;
        continue;
      }
      if (m_buffer.size() < 4) return;
      const size_t frame = 4 + static_cast<size_t>(static_cast<uint8_t>(m_buffer[2])) * 256 +
                           static_cast<uint8_t>(m_buffer[3]);
      if (m_buffer.size() < frame) return;
      m_buffer.erase(0, frame);
      m_searchFrom = 0;
    }
    const size_t end = m_buffer.find("\r\n\r\n", m_searchFrom);
    if (end == std::string::npos) {
      if (m_buffer.size() > kMaxHeaderBytes) {
        m_state = kHeaderLimit;
        return;
      }
      m_searchFrom = m_buffer.size() > 3 ? m_buffer.size() - 3 : 0;
      return;
    }
    if (end + 4 > kMaxHeaderBytes) {
      m_state = kHeaderLimit;
      return;
    }
    const unsigned long long body = FindContentLength(m_buffer.substr(0, end + 2));
    if (body > kMaxBodyBytes) {
      m_state = kBodyLimit;
      return;
    }
    m_total = end + 4 + static_cast<size_t>(body);
  }
  if (m_buffer.size() >= m_total) m_state = kComplete;
}

std::string CRTSPResponseReader::TakeResponse() {
  if (m_state != kComplete) return std::string();
  std::string response = m_buffer.substr(0, m_total);
  m_buffer.erase(0, m_total);
  m_state = kNeedMore;
  m_total = 0;
  m_searchFrom = 0;
  return response;
}

std::string CRTSPResponseReader::TakePartial() {
  if (m_state != kNeedMore || m_total == 0) return std::string();
  std::string response;
  response.swap(m_buffer);
  Reset();
  return response;
}

std::string CRTSPResponseReader::TakeBuffered() {
  std::string all;
  all.swap(m_buffer);
  Reset();
  return all;
}

void CRTSPResponseReader::Reset() {
  m_buffer.clear();
  m_state = kNeedMore;
  m_total = 0;
  m_searchFrom = 0;
}

size_t CRTSPResponseReader::BytesWanted() const {
  if (m_state != kNeedMore) return 0;
  if (m_total == 0) return 1;
  return m_total > m_buffer.size() ? m_total - m_buffer.size() : 0;
}

}  // namespace telvora
