#include "properties/url_validation.h"

#include <utility>

#include "base/text_helpers.h"

namespace telvora {
namespace {

bool Fail(const STREAM_URL_FIELDS& fields, std::string message) {
  fields.lastErrorText = std::move(message);
  return false;
}

// "user:password@" before a host is a secret: dropped before the address
// is read, and from every message.
std::string WithoutUserInfo(const std::string& text) {
  const size_t scheme = text.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t at = text.rfind('@');
  if (at == std::string::npos || at < start) return text;
  return text.substr(0, start) + text.substr(at + 1);
}

std::string NotAnUrlMessage(const std::string& url) {
  return "The \"" + WithoutUserInfo(url) + "\" string is not correct RTP or RTSP URL address";
}

// Digits accumulate in 16 bits; anything else, or nothing, reads as 0.
uint16_t ReadPort(const std::string& text) {
  if (text.empty()) return 0;
  uint16_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = static_cast<uint16_t>(value * 10u + static_cast<unsigned>(c - '0'));
  }
  return value;
}

}  // namespace

bool ValidateUrl(std::string url, const STREAM_URL_FIELDS& fields) {
  const size_t separator = url.find("://");
  if (separator == std::string::npos) return Fail(fields, NotAnUrlMessage(url));
  const std::string scheme = ToLower(url.substr(0, separator));
  if (scheme != "rtp" && scheme != "rtsp") return Fail(fields, NotAnUrlMessage(url));
  fields.rtpOnly = (scheme == "rtp");
  url = WithoutUserInfo(url);

  const size_t hostStart = separator + 3;
  const size_t pathStart = url.find_first_of("/\\", hostStart);
  std::string hostPart;
  if (pathStart != std::string::npos) {
    fields.streamPath = url.substr(pathStart);
    hostPart = url.substr(hostStart, pathStart - hostStart);
  } else {
    fields.streamPath.clear();
    hostPart = url.substr(hostStart);
  }
  return ParseAddressPort(std::move(hostPart), fields);
}

bool ParseAddressPort(std::string text, const STREAM_URL_FIELDS& fields) {
  text = WithoutUserInfo(text);
  if (text.empty()) return Fail(fields, "The device address which is specified in URL is empty");
  std::string host, portText;
  bool hasPort = false;
  if (SplitHostPort(text, &host, &hasPort, &portText)) {
    const uint16_t port = hasPort ? ReadPort(portText) : 0;
    if (!hasPort || port != 0) {
      fields.address = host;
      if (hasPort) fields.port = port;
      return true;
    }
    fields.address = host;
  }
  return Fail(fields, "The \"" + text + "\" string has incorrect format. It should be in format <address>:<port>");
}

}  // namespace telvora
