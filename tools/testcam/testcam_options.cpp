#include "testcam_options.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace testcam {

const char* const kClipSourceName = "clipsrc";

namespace {

bool ParseInt(const std::string& text, int low, int high, int* out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  int value = std::atoi(text.c_str());
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseSize(const std::string& text, int* width, int* height) {
  size_t x = text.find('x');
  if (x == std::string::npos) return false;
  // Even sizes only: the encoders work on 4:2:0 pictures.
  if (!ParseInt(text.substr(0, x), 16, 4096, width) || !ParseInt(text.substr(x + 1), 16, 4096, height))
    return false;
  return *width % 2 == 0 && *height % 2 == 0;
}

bool ParseProtocols(const std::string& text, unsigned* out) {
  unsigned set = 0;
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    if (item == "udp")
      set |= kProtoUdp;
    else if (item == "tcp")
      set |= kProtoTcp;
    else if (item == "mcast")
      set |= kProtoMcast;
    else
      return false;
  }
  if (set == 0) return false;
  *out = set;
  return true;
}

}  // namespace

const char* UsageText() {
  return "usage: testcam [--port 8554] [--codec h264|jpeg|mpeg4] [--size 640x480] [--fps 25]\n"
         "               [--auth none|basic|digest] [--user U --password P] [--protocols udp,tcp,mcast]\n"
         "               [--session-timeout SECONDS]\n"
         "Serves live synthetic video at rtsp://127.0.0.1:PORT/stream; --port 0 picks a free port.\n"
         "SIGUSR1 makes every Digest nonce handed out so far stale.\n"
         "ORVALEN_TESTCAM_CLIP=FILE serves that MP4 (MPEG-4 part 2) instead of generating one;\n"
         "ORVALEN_TESTCAM_MPEG4_CONFIG=sdp sends its configuration in the SDP only.\n";
}

const char* CodecName(Codec codec) {
  switch (codec) {
    case Codec::kH264:
      return "h264";
    case Codec::kJpeg:
      return "jpeg";
    case Codec::kMpeg4:
      return "mpeg4";
  }
  return "?";
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  Options parsed;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      parsed.help = true;
      continue;
    }
    static const char* const kWithValue[] = {"--port", "--codec",    "--size",     "--fps",
                                             "--auth", "--user",     "--password", "--protocols",
                                             "--session-timeout"};
    bool known = false;
    for (const char* option : kWithValue) known = known || name == option;
    if (!known) {
      *error = "unknown option " + name;
      return false;
    }
    if (i + 1 >= argc) {
      *error = name + " needs a value";
      return false;
    }
    std::string value = argv[++i];
    bool ok = true;
    if (name == "--port") {
      ok = ParseInt(value, 0, 65535, &parsed.port);
    } else if (name == "--codec") {
      if (value == "h264")
        parsed.codec = Codec::kH264;
      else if (value == "jpeg")
        parsed.codec = Codec::kJpeg;
      else if (value == "mpeg4")
        parsed.codec = Codec::kMpeg4;
      else
        ok = false;
    } else if (name == "--size") {
      ok = ParseSize(value, &parsed.width, &parsed.height);
    } else if (name == "--fps") {
      ok = ParseInt(value, 1, 120, &parsed.fps);
    } else if (name == "--session-timeout") {
      ok = ParseInt(value, 1, 3600, &parsed.sessionTimeoutS);
    } else if (name == "--auth") {
      if (value == "none")
        parsed.auth = Auth::kNone;
      else if (value == "basic")
        parsed.auth = Auth::kBasic;
      else if (value == "digest")
        parsed.auth = Auth::kDigest;
      else
        ok = false;
    } else if (name == "--user") {
      parsed.user = value;
      ok = !value.empty() && value.find(':') == std::string::npos;
    } else if (name == "--password") {
      parsed.password = value;
    } else if (name == "--protocols") {
      ok = ParseProtocols(value, &parsed.protocols);
    }
    if (!ok) {
      *error = "bad value for " + name + ": '" + value + "'";
      return false;
    }
  }
  *options = parsed;
  return true;
}

std::string BuildLaunch(const Options& o, bool withClockOverlay) {
  std::ostringstream s;
  s << "( ";
  if (o.codec == Codec::kMpeg4) {
    s << "appsrc name=" << kClipSourceName << " is-live=true format=time do-timestamp=false"
      // The configuration goes in-band before every I-VOP as well as into
      // the SDP, as cameras send it.
      << " ! rtpmp4vpay name=pay0 pt=96 config-interval=" << (o.mpeg4ConfigInSdpOnly ? 0 : 1);
  } else {
    // A scrolling pattern keeps every frame different, so the encoders
    // produce real motion rather than skipped or empty frames.
    s << "videotestsrc is-live=true pattern=smpte horizontal-speed=4"
      << " ! video/x-raw,width=" << o.width << ",height=" << o.height << ",framerate=" << o.fps << "/1";
    if (withClockOverlay) s << " ! clockoverlay time-format=\"%H:%M:%S\" font-desc=\"Sans 24\"";
    s << " ! videoconvert";
    if (o.codec == Codec::kH264) {
      s << " ! x264enc tune=zerolatency speed-preset=ultrafast bitrate=1000 key-int-max=" << o.fps
        << " ! video/x-h264,profile=baseline ! rtph264pay name=pay0 pt=96 config-interval=1";
    } else {
      // rtpjpegpay refuses the 4:2:2 pictures jpegenc makes by default.
      s << " ! video/x-raw,format=I420 ! jpegenc quality=80 ! rtpjpegpay name=pay0 pt=26";
    }
  }
  s << " )";
  return s.str();
}

}  // namespace testcam
