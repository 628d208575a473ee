#include "rtsp/rtsp_url.h"

#include "base/string_format.h"
#include "base/text_helpers.h"
#include "rtsp/rtsp_response_parser.h"

namespace telvora {

std::string ResolveControlUrl(const std::string& base, const std::string& control) {
  if (control.find("://") != std::string::npos) {
    const std::string absolute = NormalizeRtspUrl(control);
    return absolute.empty() ? control : absolute;
  }
  std::string url = base;
  if (url.empty() || control.empty() || control == "*") return url;
  if (control[0] == '/') {
    const size_t authority = url.find("://");
    const size_t path = url.find('/', authority == std::string::npos ? 0 : authority + 3);
    return (path == std::string::npos ? url : url.substr(0, path)) + control;
  }
  if (url.back() == '/') url.pop_back();
  return url + "/" + control;
}

bool ResolveRedirect(const std::string& location, const std::string& host, uint16_t port, std::string* newHost,
                     uint16_t* newPort, std::string* path) {
  std::string url = location;
  if (!url.empty() && url[0] == '/') url = FormatString("rtsp://%s:%u", host.c_str(), static_cast<unsigned>(port)) + url;
  url = NormalizeRtspUrl(url);
  if (url.empty()) return false;
  // User info in a Location is dropped; the credentials stay ours.
  std::string authority;
  if (!SplitUrlAuthority(url, &authority, path)) return false;
  std::string portText;
  bool hasPort = false;
  if (!SplitHostPort(authority, newHost, &hasPort, &portText)) return false;
  size_t digits = 0;
  const unsigned long long value = LeadingNumber(portText, 0xFFFF, &digits);
  *newPort = digits > 0 && value != 0 ? static_cast<uint16_t>(value) : 554;
  return true;
}

}  // namespace telvora
