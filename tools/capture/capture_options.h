// Command line of orvalen-capture and the camera URLs it takes. Pure
// functions, tested on their own; scripts rely on this interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace capture {

struct CameraUrl {
  bool rtpOnly = false;  // rtp:// (no RTSP session)
  std::string user;      // percent-decoded
  std::string password;  // percent-decoded
  bool hasCredentials = false;
  std::string host;
  uint16_t port = 0;
  std::string path;  // from the first '/' after the host, as the camera gives it; "" when none
  // For a capability query of a text that is no valid URL: the text
  // without its credentials, for the driver to judge and report on.
  std::string unparsed;
  // The URL without credentials: what the driver and the summary get.
  std::string Public() const;
};

// Parses rtsp://[user[:password]@]host[:port]/path or rtp://address:port.
// False with a message in *error.
bool ParseCameraUrl(const std::string& text, CameraUrl* url, std::string* error);

// Decodes %XX escapes. False on a malformed escape.
bool PercentDecode(const std::string& text, std::string* out);

enum class Transport { kDefault, kUdp, kTcp };

struct Options {
  std::vector<CameraUrl> urls;
  std::string outDir = "./capture";
  double durationS = 10;  // 0: until a stop signal
  uint64_t frames = 0;    // 0: no frame limit
  bool userGiven = false;
  std::string user;
  bool passwordGiven = false;
  std::string password;
  Transport transport = Transport::kDefault;
  uint32_t channels = 1;
  std::string model = "orvalen-capture";
  bool noWrite = false;
  bool quiet = false;
  bool capabilities = false;
  bool help = false;
};

// Parses argv[1..]. False with a one-line message naming the bad option.
// --user and --password replace the credentials of every URL.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

const char* UsageText();

}  // namespace capture
