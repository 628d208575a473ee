// Assembles one RTSP response from the bytes of a connection: the header
// block up to its blank line, then exactly Content-Length bytes of body.
// Interleaved frames ('$' ...) and stray bytes ahead of the status line
// (anything that cannot begin "RTSP/" or a request line) are dropped.
// Pure: the caller feeds the received bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace telvora {

class CRTSPResponseReader {
 public:
  static constexpr size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;

  enum State {
    kNeedMore,     // the response is not complete yet
    kComplete,     // TakeResponse() gives it
    kHeaderLimit,  // no blank line within kMaxHeaderBytes
    kBodyLimit,    // Content-Length above kMaxBodyBytes
  };

  CRTSPResponseReader() {}

  // Appends received bytes; returns the state afterwards. Once a limit is
  // hit the reader stays in that state until Reset.
  State Append(const uint8_t* data, size_t length);
  State GetState() const { return m_state; }

  // The complete response; bytes that followed it stay buffered as the
  // start of the next one. "" unless complete.
  std::string TakeResponse();

  // A response whose header block is complete but whose body ended early
  // (the server closed, or time ran out): the bytes as they came. "" while
  // the header block is incomplete.
  std::string TakePartial();

  // Every buffered byte (for instance the start of an interleaved stream),
  // leaving the reader empty.
  std::string TakeBuffered();

  // Drops everything and starts over.
  void Reset();

  // How many more bytes the response needs at least (1 while the header
  // block is incomplete).
  size_t BytesWanted() const;

 private:
  void Advance();

  std::string m_buffer;
  State m_state = kNeedMore;
  size_t m_total = 0;         // whole response length once the headers are known
  size_t m_searchFrom = 0;    // where the blank-line search resumes
};

// The Content-Length of a header block, matched without regard to case and
// with or without blanks after the colon; 0 when absent. Saturates.
unsigned long long FindContentLength(const std::string& headers);

}  // namespace telvora
