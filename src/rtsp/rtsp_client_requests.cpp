// Request texts, URLs and credentials of CBaseRTSPClient.
#include "platform/module.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/rtsp_method.h"
#include "rtsp/rtsp_url.h"
#include "base/text_helpers.h"
#include "base/string_format.h"

namespace telvora {
namespace {

const char kProtocol[] = "RTSP/1.0\r\n";
const char kUserAgent[] = "User-Agent: Telvora\r\n";

std::string FreshCnonce() {
  uint8_t id[16];
  platform::CreateRandomId(id);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out += kHex[id[i] >> 4];
    out += kHex[id[i] & 15];
  }
  return out;
}

}  // namespace

std::string CBaseRTSPClient::FormatRequest(int method) {
  const std::string url = GetBaseUrl();
  const std::string setupUrl = method == kRtspSetup ? GetSetupUrl(url) : std::string();
  const std::string cseq = FormatString("CSeq: %u\r\n", ++m_parser.cseq);
  const std::string auth = GetAuthorizationHeader(method, method == kRtspSetup ? setupUrl : url);
  const std::string session =
      m_parser.sessionId.empty() ? std::string() : FormatString("Session: %s\r\n", m_parser.sessionId.c_str());
  switch (method) {
    case kRtspDescribe:
      return FormatString("DESCRIBE %s %s%s%s%s%s\r\n", url.c_str(), kProtocol, cseq.c_str(), auth.c_str(), kUserAgent,
                          "Accept: application/sdp\r\n");
    case kRtspSetup:
      return FormatString("SETUP %s %s%s%s%s%s\r\n", setupUrl.c_str(), kProtocol, cseq.c_str(), auth.c_str(),
                          kUserAgent, GetTransportHeader().c_str());
    case kRtspPlay:
      return FormatString("PLAY %s %s%s%s%s%s%s\r\n", url.c_str(), kProtocol, cseq.c_str(), auth.c_str(), kUserAgent,
                          session.c_str(), "Range: npt=0.000-\r\n");
    case kRtspTeardown:
      return FormatString("TEARDOWN %s %s%s%s%s%s\r\n", url.c_str(), kProtocol, cseq.c_str(), auth.c_str(),
                          kUserAgent, session.c_str());
    case kRtspGetParameter:
      return FormatString("GET_PARAMETER %s %s%s%s%s%s\r\n", url.c_str(), kProtocol, cseq.c_str(), auth.c_str(),
                          kUserAgent, session.c_str());
    case kRtspOptions:
      return FormatString("OPTIONS %s %s%s%s%s%s\r\n", url.c_str(), kProtocol, cseq.c_str(), auth.c_str(), kUserAgent,
                          session.c_str());
    default:
      return std::string();
  }
}

std::string CBaseRTSPClient::GetBaseUrl() {
  // The parser keeps only rtsp URLs, with the scheme written in lower case.
  if (!m_parser.contentBase.empty()) return m_parser.contentBase;
  if (!m_parser.contentLocation.empty()) return m_parser.contentLocation;
  std::string url = FormatString("rtsp://%s:%u/", m_connection.host.c_str(), static_cast<unsigned>(m_connection.serverPort));
  const size_t first = m_connection.path.find_first_not_of('/');
  if (first != std::string::npos) url += m_connection.path.substr(first);
  return url;
}

std::string CBaseRTSPClient::GetSetupUrl(const std::string& base) {
  return ResolveControlUrl(base.empty() ? GetBaseUrl() : base, m_parser.sdpInfo.video.control);
}

std::string CBaseRTSPClient::GetTransportHeader() {
  std::string proto = m_parser.sdpInfo.video.protocol;
  const bool interleaved = m_transportMode == kTransportInterleaved;
  if (proto.empty() || proto == "RTP/AVP") proto = interleaved ? "RTP/AVP/TCP" : "RTP/AVP/UDP";
  if (interleaved) return "Transport: " + proto + ";unicast;interleaved=0-1\r\n";
  return "Transport: " + proto + ";unicast" +
         FormatString(";client_port=%u-%u", static_cast<unsigned>(m_connection.clientRtpPort),
                      static_cast<unsigned>(m_connection.clientRtcpPort)) +
         "\r\n";
}

std::string CBaseRTSPClient::GetAuthorizationHeader(int method, const std::string& uri) {
  if (m_connection.authScheme == kAuthBasic) {
    std::string token;
    if (!MakeBasicCredentials(m_connection.userName, m_connection.password, token)) return std::string();
    return "Authorization: Basic " + token + "\r\n";
  }
  if (m_connection.authScheme == kAuthDigest) return MakeDigestHeader(method, uri.empty() ? GetBaseUrl() : uri);
  return std::string();
}

std::string CBaseRTSPClient::MakeDigestHeader(int method, const std::string& uri) {
  const RTSP_CHALLENGE& challenge = m_parser.challenge;
  // The nonce count runs per server nonce, as the server counts it.
  if (challenge.nonce != m_countedNonce) {
    m_countedNonce = challenge.nonce;
    m_nonceCount = 0;
  }
  const bool withQop = QopOffersAuth(challenge.qop);
  const std::string algorithm = ToLower(challenge.algorithm);
  const bool sess = algorithm.size() > 5 && algorithm.compare(algorithm.size() - 5, 5, "-sess") == 0;
  const std::string line = MakeDigestAuthorization(RtspMethodName(method), uri, m_connection.userName,
                                                   m_connection.password, challenge, m_nonceCount + 1,
                                                   withQop || sess ? FreshCnonce() : std::string());
  if (withQop && !line.empty()) ++m_nonceCount;
  return line;
}

}  // namespace telvora
