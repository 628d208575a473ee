// Takes apart one RTSP response at a time and keeps what the session
// client learns from the server between requests. Used by one client
// thread only; the client reads the fields directly.
#pragma once

#include <cstdint>
#include <string>

#include "rtsp/rtsp_auth.h"
#include "rtsp/sdp_parser.h"

namespace telvora {

class CRTSPResponseParser {
 public:
  CRTSPResponseParser() {}
  virtual ~CRTSPResponseParser() {}

  // Forgets the session: every field but the RTP channel. Called at each
  // session start.
  void Reset();

  // Parses a complete response (status line, headers, body) to the request
  // of the method code (rtsp_method.h) and updates the fields. True for a
  // well-formed 200 or 401; false for any other status or a header, body or
  // SDP description that does not read. Fields set by earlier header lines
  // of a failed response keep their new values.
  bool Parse(int method, const std::string& response);

  SDP_INFO sdpInfo;            // of the last successful DESCRIBE
  std::string protocol;        // first word of the last status line
  uint32_t status = 0;
  uint32_t cseq = 0;           // incremented by the client before each request
  std::string contentBase;     // absolute rtsp URL
  std::string contentType;     // lower case
  uint32_t contentLength = 0;
  std::string sessionId;
  uint32_t sessionTimeout = 0;  // seconds; 0 when the server named none
  RTSP_CHALLENGE challenge;
  uint8_t rtpChannel = 0;  // first interleaved channel of the last SETUP answer

 private:
  bool ParseStatusLine(const std::string& line);
  bool ParseHeader(const std::string& line);
  bool ParseContentBase(const std::string& line);
  bool ParseSession(const std::string& value);
  void ScanTransport(const std::string& response);
};

// Lower-cased, trimmed name before the first ':' of a header line; "" when
// the line has no ':' or its first ':' stands at position 0 or 1.
std::string HeaderName(const std::string& line);

// The value after the first ':' with leading blanks and tabs removed.
std::string HeaderValue(const std::string& line);

}  // namespace telvora
