// One RTSP/1.0 session over one TCP connection: DESCRIBE, SETUP, PLAY,
// OPTIONS (or GET_PARAMETER) as keep-alive and TEARDOWN, with Basic or
// Digest credentials switched on by a 401. RTP goes to the owner's UDP
// ports or comes interleaved in the connection, where this thread cuts it
// out. Answers are matched to requests by CSeq; requests the server sends
// on the connection are answered. Redirects are followed.
//
// Start and Stop belong to the owner's thread; everything else, including
// every IRTSPClientUser callback, runs on the session thread. The session
// thread ends, with SessionEnded, when the connection closes or falls
// silent while streaming, when a keep-alive draws 454, and after a BYE.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/sockets.h"
#include "rtsp/rtsp_client_user.h"
#include "rtsp/rtsp_connection_info.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_response_reader.h"
#include "rtsp/rtsp_stream_parser.h"
#include "threading/base_thread.h"
#include "threading/recursive_lock.h"

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
  void MessageParsed(const std::string& message) override;

  // Result of the latest request exchange; readable from any thread.
  bool GetLastExchangeResult() const { return m_lastExchangeResult.load(); }
  // Status code of the latest answer that parsed, 0 when the latest request
  // got none. It outlives the session, so after a refusal (401) the owner
  // can tell wrong credentials from a dead camera. Readable from any thread.
  int GetLastStatus() const { return m_lastStatus.load(); }
  // The host the session talks to: the configured one, or where a redirect
  // led. RTP comes from there. Readable from any thread.
  std::string GetEffectiveHost() const;
  // Set before Start.
  void SetKeepAliveEnabled(bool enabled) { m_keepAliveEnabled = enabled; }
  bool GetKeepAliveEnabled() const { return m_keepAliveEnabled; }

 protected:
  void Run() override;
  // The complete request text for a method code (rtsp_method.h); "" for an
  // unknown code. Advances the CSeq counter.
  virtual std::string FormatRequest(int method);
  // Reads the interleaved stream after PLAY. True when the connection
  // closed, fell silent for the receive time-out or lost its session;
  // false on stop.
  virtual bool ReceiveInterleaved();

  bool Connect();
  bool ExecuteRequest(int method);
  bool SendRequest(int method);
  // The answer to the latest request, or "" on close, time-out or a limit.
  // Requests from the server met on the way are answered, answers to
  // earlier requests dropped.
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
  struct OpenRequest {
    uint32_t cseq;
    int method;
    bool retried;  // already repeated after a 401
  };

  bool SendText(const std::string& text);
  // Sends a request and notes it as open; false when the send failed.
  bool SendOpenRequest(int method, bool retried);
  void KeepAliveCheck(bool interleaved);
  // Switches to the other keep-alive method when the server lists it.
  bool KeepAliveFailed();
  // Waits for the stop event while watching the connection between
  // keep-alives. Returns when stopped or when the session is lost.
  void WatchSession();
  // Takes whatever the connection holds; false when it closed.
  bool PumpIncoming();
  // Handles one whole message that is not the awaited answer: answers a
  // server request, acts on a late answer to an open request.
  void HandleMessage(const std::string& message, bool inStream);
  void AnswerServerRequest(const std::string& request);
  bool FollowRedirect();
  bool Reconnect();
  void CloseSocket();
  // The level-2 line of a refused answer, in the name of the caller.
  void WarnLimit(CRTSPResponseReader::State state, const char* function);
  void EndSessionCallback();
  void SetEffectiveHost(const std::string& host);

  CRTSPResponseReader m_reader;
  std::atomic<unsigned> m_receiveLimitMs;  // Stop shortens it to end reads soon
  uint32_t m_nonceCount;
  std::string m_countedNonce;
  std::deque<OpenRequest> m_open;  // oldest first
  bool m_answered;     // the latest SendRequest got an answer
  bool m_peerClosed;   // the server closed the connection
  bool m_sessionLost;  // 454 on a keep-alive, or the connection is gone
  int m_keepAliveMethod;
  mutable CRecursiveLock m_socketLock;  // m_socket and m_effectiveHost against Stop and readers
  std::string m_effectiveHost;
};

}  // namespace telvora
