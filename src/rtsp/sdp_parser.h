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

class CSDPResponseParser {
 public:
  CSDPResponseParser() {}
  virtual ~CSDPResponseParser() {}

  // Empties the description, then reads text. True for an empty text.
  // False on the first malformed line that matters (m=, c=, a=control,
  // a=rtpmap, a=fmtp); the description is then only partly filled.
  bool ParseSdp(const std::string& text);

  const SDP_INFO& GetInfo() const { return m_info; }

 private:
  enum MediaKind { kNone = 0, kVideo = 1, kAudio = 2, kMetadata = 3 };

  SDP_MEDIA_INFO* Current();
  bool ParseMedia(const std::string& line);
  bool ParseConnection(const std::string& line);
  bool ParseControl(const std::string& line);
  bool ParseRtpmap(const std::string& line);
  bool ParseFmtp(const std::string& line);
  bool ParseVideoParameters(const std::string& line);

  SDP_INFO m_info;
  int m_kind = kNone;
};

}  // namespace telvora
