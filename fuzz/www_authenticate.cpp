#include <string>

#include "rtsp/rtsp_auth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  telvora::RTSP_CHALLENGE challenge;
  const std::string line(reinterpret_cast<const char*>(data), size);
  telvora::ParseAuthenticateHeader(line, challenge);
  // Values from the server end up in our requests: never a line break.
  for (const std::string* value : {&challenge.realm, &challenge.nonce, &challenge.opaque, &challenge.qop}) {
    if (value->find_first_of("\r\n\"") != std::string::npos) __builtin_trap();
  }
  const std::string header =
      telvora::MakeDigestAuthorization("DESCRIBE", "rtsp://h/", "u", "p", challenge, 1, "0123456789abcdef");
  if (!header.empty() && header.find("\r\n") != header.size() - 2) __builtin_trap();
  return 0;
}
