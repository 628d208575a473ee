// Stream URL validation on arbitrary bytes: never reads outside the input,
// and what it reports on success is consistent with the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "properties/url_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string address;
  uint16_t port = 80;
  std::string path;
  bool rtpOnly = false;
  std::string error;
  telvora::STREAM_URL_FIELDS fields{address, port, path, rtpOnly, error};

  if (telvora::ValidateUrl(input, fields)) {
    if (port == 0) std::abort();
    if (!path.empty() && path[0] != '/' && path[0] != '\\') std::abort();
    if (input.find(path) == std::string::npos) std::abort();
    if (!error.empty()) std::abort();
  } else if (error.empty()) {
    std::abort();
  }

  error.clear();
  port = 80;
  const bool parsed = telvora::ParseAddressPort(input, fields);
  if (parsed != error.empty()) std::abort();
  if (parsed && port == 0) std::abort();
  return 0;
}
