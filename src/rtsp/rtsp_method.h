// The RTSP request methods by the codes the client, the response parser
// and the Digest computation share.
#pragma once

namespace telvora {

enum RtspMethod {
  kRtspDescribe = 1,
  kRtspSetup = 2,
  kRtspPlay = 3,
  kRtspTeardown = 4,
  kRtspOptions = 5,
  kRtspGetParameter = 6,  // keep-alive for servers that refuse OPTIONS
};

// The method name of a code; "" for any other value.
inline const char* RtspMethodName(int method) {
  switch (method) {
    case kRtspDescribe: return "DESCRIBE";
    case kRtspSetup: return "SETUP";
    case kRtspPlay: return "PLAY";
    case kRtspTeardown: return "TEARDOWN";
    case kRtspOptions: return "OPTIONS";
    case kRtspGetParameter: return "GET_PARAMETER";
    default: return "";
  }
}

}  // namespace telvora
