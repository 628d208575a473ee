#include <string>

#include "rtsp/sdp_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  telvora::CSDPResponseParser parser;
  parser.ParseSdp(std::string(reinterpret_cast<const char*>(data), size));
  const telvora::SDP_INFO& info = parser.GetInfo();
  if (info.parameterSet1.size() > 256 || info.parameterSet2.size() > 256) __builtin_trap();
  return 0;
}
