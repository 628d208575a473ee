#include "driver/device_text.h"

#include "base/text_helpers.h"

namespace telvora {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool ParseDeviceAddress(const std::string& text, DEVICE_ADDRESS* out) {
  if (out == nullptr) return false;
  *out = DEVICE_ADDRESS();
  const size_t scheme = text.find("://");
  std::string rest = scheme == std::string::npos ? text : text.substr(scheme + 3);
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = rest.substr(0, at);
    const size_t colon = userInfo.find(':');
    out->hasUserInfo = true;
    out->userName = PercentDecode(userInfo.substr(0, colon));
    if (colon != std::string::npos) out->password = PercentDecode(userInfo.substr(colon + 1));
    rest.erase(0, at + 1);
  }
  std::string hostPart = rest;
  if (scheme != std::string::npos) hostPart = rest.substr(0, rest.find_first_of("/\\"));
  if (hostPart.empty()) return false;
  std::string portText;
  if (!SplitHostPort(hostPart, &out->host, &out->hasPort, &portText)) {
    out->host.clear();
    out->hasPort = false;
    return false;
  }
  if (!out->hasPort) return true;
  uint32_t port = 0;
  for (size_t i = 0; i < portText.size() && portText[i] >= '0' && portText[i] <= '9'; ++i)
    port = (port * 10 + static_cast<uint32_t>(portText[i] - '0')) & 0xFFFFu;
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
