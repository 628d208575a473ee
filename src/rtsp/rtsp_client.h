// One RTSP/1.0 session over one TCP connection: DESCRIBE, SETUP, PLAY,
// OPTIONS as keep-alive and TEARDOWN, with Basic or Digest credentials
// switched on by the first 401. RTP goes to the owner's UDP ports or comes
// interleaved in the connection, where this thread cuts it out.
//
// Start and Stop belong to the owner's thread; everything else, including
// every IRTSPClientUser callback, runs on the session thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/sockets.h"
#include "rtsp/rtsp_client_user.h"
#include "rtsp/rtsp_connection_info.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_response_reader.h"
#include "rtsp/rtsp_stream_parser.h"
#include "threading/base_thread.h"

namespace telvora {

enum RtspTransportMode {
  kTransportUdp = 0,
  kTransportInterleaved = 2,
};

class CBaseRTSPClient : public CBaseThread, public IRTSPStreamParserUser {
 public:
  // sink: not owned; names the thread and takes the few warnings.
  explicit CBaseRTSPClient(IDebugMessage* sink);
  ~CBaseRTSPClient() override;

  // Connects on the calling thread, then runs the session on its own.
  // user: not owned, must outlive Stop(). True when the thread runs; on
  // false the socket is closed again. A session still running is stopped
  // first.
  bool Start(const RTSP_CONNECTION_INFO& connection, IRTSPClientUser* user, int transportMode);

  // Ends the session thread (TEARDOWN is still attempted) and closes the
  // connection. Returns within 2 x max(send, receive time-out) + 1 s.
  // Safe to call at any time and repeatedly, but not from the callbacks.
  void Stop();

  // IRTSPStreamParserUser, on the session thread.
  void PacketParsed(CRTPPacket& packet) override;
  void ByeParsed() override;

  // Result of the latest request exchange; readable from any thread.
  bool GetLastExchangeResult() const { return m_lastExchangeResult.load(); }
  // Status code of the latest answer that parsed, 0 when the latest request
  // got none. It outlives the session, so after a refusal (401) the owner
  // can tell wrong credentials from a dead camera. Readable from any thread.
  int GetLastStatus() const { return m_lastStatus.load(); }
  // Set before Start.
  void SetKeepAliveEnabled(bool enabled) { m_keepAliveEnabled = enabled; }
  bool GetKeepAliveEnabled() const { return m_keepAliveEnabled; }

 protected:
  void Run() override;
  // The complete request text for a method code (rtsp_method.h); "" for an
  // unknown code. Advances the CSeq counter.
  virtual std::string FormatRequest(int method);
  // Reads the interleaved stream after PLAY. True when the connection
  // closed or fell silent for the receive time-out, false on stop.
  virtual bool ReceiveInterleaved();

  bool Connect();
  bool ExecuteRequest(int method);
  bool SendRequest(int method);
  // The next complete response, or "" on close, time-out or a limit.
  void ReadResponse(std::string& response);
  std::string GetBaseUrl();
  std::string GetSetupUrl(const std::string& base);
  std::string GetTransportHeader();
  std::string GetAuthorizationHeader(int method, const std::string& uri);
  std::string MakeDigestHeader(int method, const std::string& uri);

  CRTSPResponseParser m_parser;
  SOCKET m_socket;
  uint64_t m_keepAliveStamp;
  IRTSPClientUser* m_user;
  std::atomic<bool> m_lastExchangeResult;
  std::atomic<int> m_lastStatus;
  bool m_keepAliveEnabled;
  RTSP_CONNECTION_INFO m_connection;
  int m_transportMode;

 private:
  bool SendText(const std::string& text);
  void KeepAliveCheck(bool interleaved);
  void CloseSocket();
  void WarnLimit(CRTSPResponseReader::State state);

  CRTSPResponseReader m_reader;
  std::atomic<unsigned> m_receiveLimitMs;  // Stop shortens it to end reads soon
  uint32_t m_nonceCount;
  std::string m_countedNonce;
};

}  // namespace telvora
