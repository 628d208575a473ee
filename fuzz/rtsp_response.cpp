// The response parse for every method: the first byte picks the code.
#include <string>

#include "rtsp/rtsp_response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int method = data[0] % 6;  // 0 is no method at all
  const std::string response(reinterpret_cast<const char*>(data + 1), size - 1);
  telvora::CRTSPResponseParser parser;
  parser.Parse(method, response);
  // A second answer on the same parser, as in a session.
  parser.Parse(method, response);
  return 0;
}
