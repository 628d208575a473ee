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
  // of a failed response keep their new values. A redirect (301, 302, 303,
  // 307) and a 454 also parse, so that the client can act on them; they
  // still fail the request.
  bool Parse(int method, const std::string& response);

  // A redirect status with a Location to go to.
  bool IsRedirect() const;

  SDP_INFO sdpInfo;            // of the last successful DESCRIBE
  std::string protocol;        // first word of the last status line
  uint32_t status = 0;
  uint32_t cseq = 0;           // incremented by the client before each request
  std::string contentBase;     // absolute rtsp URL
  std::string contentLocation;  // absolute rtsp URL, the base when there is no Content-Base
  std::string location;        // of the last redirect answer
  std::string publicMethods;   // Public header as sent, e.g. "OPTIONS, GET_PARAMETER"
  bool connectionClose = false;  // the last answer said "Connection: close"
  bool hasCSeq = false;        // the last answer carried a CSeq
  std::string contentType;     // lower case
  uint32_t contentLength = 0;
  std::string sessionId;
  uint32_t sessionTimeout = 0;  // seconds; 0 when the server named none
  RTSP_CHALLENGE challenge;
  uint8_t rtpChannel = 0;  // first interleaved channel of the last SETUP answer
  uint8_t rtcpChannel = 1;  // second one (the first + 1 when not named)
  // Of the last SETUP answer: the server's ports (0 when not named) and
  // the stream's SSRC.
  uint16_t serverRtpPort = 0;
  uint16_t serverRtcpPort = 0;
  bool hasSsrc = false;
  uint32_t ssrc = 0;

 private:
  bool ParseStatusLine(const std::string& line);
  bool ParseHeader(const std::string& line);
  bool ParseContentBase(const std::string& line, std::string& target);
  bool ParseSession(const std::string& value);
  void ScanTransport(const std::string& response);
  void ReadTransport(const std::string& value);
};

// Lower-cased, trimmed name before the first ':' of a header line; "" when
// the line has no ':' or its first ':' stands at position 0 or 1.
std::string HeaderName(const std::string& line);

// The value after the first ':' with leading blanks and tabs removed.
std::string HeaderValue(const std::string& line);

// An rtsp URL as a server writes it: the scheme matched without regard to
// case and written "rtsp://", and "rtsp://" put in front when there is no
// scheme at all. "" for another scheme, a bare path, no host or an empty
// text.
std::string NormalizeRtspUrl(const std::string& url);

// The CSeq of a message's header block, blanks around the value allowed.
// False when it carries none that reads.
bool ResponseCSeq(const std::string& message, uint32_t* out);

// Whether a response's status line is that of a request from the server
// ("OPTIONS rtsp://... RTSP/1.0") rather than an answer.
bool IsServerRequest(const std::string& message);

}  // namespace telvora
