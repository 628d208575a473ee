// The SDP description of a DESCRIBE answer (RFC 4566), reduced to what a
// channel needs: one record per media kind and the video codec parameters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace telvora {

struct SDP_MEDIA_INFO {
  uint16_t port = 0;               // second word of the m= line
  std::string protocol;            // third word of the m= line, e.g. RTP/AVP
  std::string connectionAddress;   // IPv4 of a c= line, without /ttl
  std::string control;             // a=control value, absolute or relative
  std::string rtpmap;              // e.g. H264/90000
  uint32_t width = 0;              // a=x-dimensions or a=framesize; 0 when absent
  uint32_t height = 0;
  int packetizationMode = -1;      // H.264 fmtp packetization-mode 0 to 2; -1 when absent or unknown
};

struct SDP_INFO {
  SDP_MEDIA_INFO video;
  SDP_MEDIA_INFO audio;
  SDP_MEDIA_INFO metadata;             // media word metadata, data or application
  std::vector<uint8_t> parameterSet1;  // H.264 sequence parameter set
  std::vector<uint8_t> parameterSet2;  // H.264 picture parameter set
  std::vector<uint8_t> config;         // MPEG-4 decoder configuration

  void Clear() { *this = SDP_INFO(); }
};

// Pairs of hexadecimal digits to bytes, high digit first. Any other
// character counts as 0; an odd last digit gives a byte of its own value.
std::vector<uint8_t> HexDecode(const std::string& text);

// Whether an rtpmap encoding (e.g. "H264/90000") is one we depacketize.
bool IsSupportedVideoRtpmap(const std::string& rtpmap);

class CSDPResponseParser {
 public:
  CSDPResponseParser() {}
  virtual ~CSDPResponseParser() {}

  // Empties the description, then reads text. A line that does not read
  // is skipped, so a camera's odd attribute costs nothing. The video
  // record is the first video section with an rtpmap we can depacketize,
  // else the first video section; audio and metadata are the first of
  // their kind. Fields of two sections never mix. Always true.
  bool ParseSdp(const std::string& text);

  const SDP_INFO& GetInfo() const { return m_info; }

 private:
  enum MediaKind { kNone = 0, kVideo = 1, kAudio = 2, kMetadata = 3 };

  // One media section while it is read.
  struct Section {
    int kind = kNone;
    SDP_MEDIA_INFO media;
    bool supported = false;  // has an rtpmap we can depacketize
    std::vector<uint8_t> parameterSet1, parameterSet2, config;
  };

  // Each returns false when the line does not read; it is then skipped.
  bool ParseMedia(const std::string& line);
  bool ParseConnection(const std::string& line);
  bool ParseControl(const std::string& line);
  bool ParseRtpmap(const std::string& line);
  bool ParseFmtp(const std::string& line);
  bool ParseVideoParameters(const std::string& line);
  bool ParseParameterSets(const std::string& sets);
  // Keeps the finished section if it is the one of its kind to use.
  void EndSection();

  SDP_INFO m_info;
  Section m_section;
  bool m_haveVideo = false;      // some video section was kept
  bool m_videoSupported = false;  // and it has a usable rtpmap
  bool m_haveAudio = false;
  bool m_haveMetadata = false;
};

}  // namespace telvora
