// Where a server's URLs lead: a Location on the session's server, and a
// stream's control URL against the session's base. Bytes 0-1 are a port,
// the rest is two texts split at the first NUL. Checked: a redirect names a
// host without port, path or user info and a port other than 0, taken from
// the Location itself; a URL built from known pieces comes back as those
// pieces; a control URL that is not absolute never changes the server.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text_helpers.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_url.h"

namespace {

const char kHost[] = "192.0.2.7";

std::string Authority(const std::string& url) {
  std::string authority, path;
  if (!telvora::SplitUrlAuthority(url, &authority, &path)) __builtin_trap();
  return authority;
}

void CheckRedirect(const std::string& location, uint16_t port) {
  std::string host, path;
  uint16_t newPort = 0;
  if (!telvora::ResolveRedirect(location, kHost, port, &host, &newPort, &path)) return;
  if (host.empty() || host.find_first_of(":/\\@") != std::string::npos || newPort == 0) __builtin_trap();
  if (!path.empty() && path[0] != '/' && path[0] != '\\') __builtin_trap();
  const std::string trimmed = telvora::Trim(location);
  if (trimmed[0] == '/') {
    // A bare path stays on the session's server.
    if (host != kHost || (port != 0 && newPort != port) || path != trimmed) __builtin_trap();
  } else if (location.find(host) == std::string::npos || location.find(path) == std::string::npos) {
    __builtin_trap();
  }
}

void CheckRoundTrip(const std::string& pathText, const std::string& hostText, uint16_t port) {
  std::string host, path = "/";
  for (const char c : hostText) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-') host += c;
  }
  for (const char c : pathText) {
    if (c != ' ' && c != '\t') path += c;
  }
  if (host.empty()) return;
  const std::string scheme = (port & 1) ? "RTSP://" : "rtsp://";
  const std::string user = (port & 2) ? "user:p@ss:w@" : "";
  const std::string location = scheme + user + host + (port != 0 ? ":" + std::to_string(port) : "") + path;
  std::string newHost, newPath;
  uint16_t newPort = 0;
  if (!telvora::ResolveRedirect(location, kHost, 554, &newHost, &newPort, &newPath)) __builtin_trap();
  if (newHost != host || newPort != (port != 0 ? port : 554) || newPath != path) __builtin_trap();
}

void CheckControl(const std::string& baseText, const std::string& control) {
  const std::string base = telvora::NormalizeRtspUrl(baseText);
  const std::string url = telvora::ResolveControlUrl(base, control);
  if (base.empty() || control.find("://") != std::string::npos) return;
  if (url.compare(0, 7, "rtsp://") != 0 || Authority(url) != Authority(base)) __builtin_trap();
  if (control != "*" && url.find(control) == std::string::npos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t port = static_cast<uint16_t>(data[0] << 8 | data[1]);
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t nul = text.find('\0');
  const std::string first = text.substr(0, nul);
  const std::string second = nul == std::string::npos ? std::string() : text.substr(nul + 1);

  CheckRedirect(first, port);
  CheckRedirect(second, port);
  CheckRoundTrip(first, second, port);
  CheckControl(first, second);

  std::string host, portText;
  bool hasPort = false;
  if (telvora::SplitHostPort(first, &host, &hasPort, &portText) &&
      (host.empty() || host + (hasPort ? ":" + portText : "") != first))
    __builtin_trap();
  return 0;
}
