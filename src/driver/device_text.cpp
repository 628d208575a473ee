#include "driver/device_text.h"

namespace telvora {

bool ParseDeviceAddress(const std::string& text, DEVICE_ADDRESS* out) {
  if (out == nullptr) return false;
  *out = DEVICE_ADDRESS();
  std::string hostPart = text;
  const size_t scheme = text.find("://");
  if (scheme != std::string::npos) {
    const size_t begin = scheme + 3;
    const size_t end = text.find_first_of("/\\", begin);
    hostPart = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  }
  if (hostPart.empty()) return false;
  const size_t colon = hostPart.find(':');
  if (colon == std::string::npos) {
    out->host = hostPart;
    return true;
  }
  if (colon == 0) return false;
  out->host = hostPart.substr(0, colon);
  out->hasPort = true;
  uint32_t port = 0;
  for (size_t i = colon + 1; i < hostPart.size() && hostPart[i] >= '0' && hostPart[i] <= '9'; ++i)
    port = (port * 10 + static_cast<uint32_t>(hostPart[i] - '0')) & 0xFFFFu;
  out->port = static_cast<uint16_t>(port);
  return port != 0;
}

int32_t ParseParameterNumber(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return kNoNumber;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return kNoNumber;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return kNoNumber;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return kNoNumber;
  return static_cast<int32_t>(value);
}

}  // namespace telvora
