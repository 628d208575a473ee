// Command line of the test camera and the GStreamer pipelines it serves.
// Pure functions: no GStreamer calls, so the parsing can be tested alone.
#pragma once

#include <cstdint>
#include <string>

namespace testcam {

enum class Codec { kH264, kJpeg, kMpeg4 };
enum class Auth { kNone, kBasic, kDigest };

// Bit set of the lower transports the server offers.
enum Protocol : unsigned { kProtoUdp = 1, kProtoTcp = 2, kProtoMcast = 4 };

struct Options {
  int port = 8554;  // 0 picks a free port
  Codec codec = Codec::kH264;
  int width = 640;
  int height = 480;
  int fps = 25;
  Auth auth = Auth::kNone;
  std::string user = "user";
  std::string password = "password";
  unsigned protocols = kProtoUdp | kProtoTcp | kProtoMcast;
  // Announced in the Session header; 0 keeps the server's 60 s.
  int sessionTimeoutS = 0;
  // MPEG-4 configuration in the SDP only, not in-band before I-VOPs; from
  // ORVALEN_TESTCAM_MPEG4_CONFIG=sdp, for testing receivers of such cameras.
  bool mpeg4ConfigInSdpOnly = false;
  bool help = false;
};

// Parses argv[1..]. On failure returns false and puts a one-line message
// naming the offending option into *error.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

const char* UsageText();
const char* CodecName(Codec codec);

// The launch description of the served media, in the brackets the RTSP
// media factory expects. The MPEG-4 clip is pushed by the program into the
// appsrc named kClipSourceName.
std::string BuildLaunch(const Options& options, bool withClockOverlay);

extern const char* const kClipSourceName;

}  // namespace testcam
