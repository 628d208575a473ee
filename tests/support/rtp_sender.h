// The test kit's RTP sender: cuts encoded video into RTP packets the way a
// camera does, and hands them over in-process or sends them over UDP.
//
//   H.264 (RFC 6184): an Annex B stream is split into access units; each
//     NAL unit goes out as a single NAL unit packet, small ones can be
//     aggregated into STAP-A, and units above the payload limit (or all
//     slices, on request) are cut into FU-A fragments.
//   JPEG (RFC 2435): a baseline JFIF image is reduced to its scan data
//     behind the main header, with the restart marker header when the image
//     has a DRI, and either a Q below 128 (the image must be quantized with
//     the standard tables scaled for that Q) or Q 255 with the image's own
//     tables in-band.
//   MPEG-4 part 2 (RFC 3016): an elementary stream is split into frames
//     (configuration headers stay at the head of the VOP they precede) and
//     each frame is cut into packets at arbitrary points.
//
// The marker bit closes every frame; all packets of a frame share one
// timestamp, which advances by a fixed step per frame. Sequence numbers
// continue across calls on the same sender. Nothing here is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvora {
namespace test {

// One whole RTP packet (12-byte header, optional extension, payload).
struct RtpDatagram {
  std::vector<uint8_t> bytes;
  size_t frameIndex = 0;  // index of the source frame it carries
  bool marker = false;
  uint16_t sequence = 0;
};

struct RtpPacketFields {
  uint8_t payloadType = 96;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0x0A0B0C0D;
  bool marker = false;
  bool hasExtension = false;
  uint16_t extensionProfile = 0;
  std::vector<uint8_t> extension;  // a multiple of 4 bytes
};

// Serializes one RTP packet (version 2, no padding, no CSRC).
std::vector<uint8_t> BuildRtpPacket(const RtpPacketFields& fields, const uint8_t* payload, size_t length);
inline std::vector<uint8_t> BuildRtpPacket(const RtpPacketFields& fields, const std::vector<uint8_t>& payload) {
  return BuildRtpPacket(fields, payload.data(), payload.size());
}

// ---- H.264 ----

struct H264AccessUnit {
  std::vector<std::vector<uint8_t>> nalUnits;  // without start codes
  bool idr = false;                            // holds an IDR slice
};

// Splits an Annex B stream (3- or 4-byte start codes) into access units: a
// new one starts at an AUD, SPS, PPS or SEI after a slice, or at a slice
// whose first_mb_in_slice is 0.
std::vector<H264AccessUnit> SplitH264AccessUnits(const std::vector<uint8_t>& annexB);

enum class MarkerMode {
  kLastPacket,   // on the last packet of each frame, as RFC 6184 asks
  kEverySlice,   // on the last packet of every slice (H.264)
  kNever,
};

struct H264Options {
  MarkerMode markers = MarkerMode::kLastPacket;
  bool aggregate = true;      // small NAL units of one access unit in STAP-A
  bool fragmentAll = false;   // every slice as FU-A, even when it would fit
  bool dropParameterSets = false;  // leave SPS and PPS out (given by SDP)
};

// ---- JPEG ----

struct JpegImage {
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t type = 1;  // 0 for 4:2:2, 1 for 4:2:0
  uint16_t restartInterval = 0;
  std::vector<uint8_t> tables;  // 64 or 128 bytes, zig-zag order
  std::vector<uint8_t> scan;    // entropy-coded data, without EOI
  std::vector<uint8_t> segments;  // the marker segments between SOI and the scan
};

// Reads a baseline, 8-bit, three-component JFIF image with luminance
// sampling 2x1 or 2x2. False, with the reason, for anything else. Sizes
// above 2040 are sent as 0, for the session description to tell.
bool ParseJpegImage(const std::vector<uint8_t>& jpeg, JpegImage* image, std::string* error);

// The standard tables scaled for quality q (1 to 99), zig-zag order.
std::vector<uint8_t> ScaledStandardTables(int q);
// The Q whose scaled standard tables equal the image's, or -1.
int FindStandardQ(const JpegImage& image);

struct JpegOptions {
  int q = -1;              // below 128; -1: FindStandardQ
  bool inBandTables = false;  // Q 255 with the image's tables in the first packet
  bool sixteenBitTables = false;  // in-band tables written with 16-bit entries
  // The image's own marker segments in a header extension (profile 0xFFD8)
  // of the first packet, padded with fill bytes to whole words.
  bool extension = false;
};

// ---- MPEG-4 ----

struct Mpeg4Frame {
  std::vector<uint8_t> bytes;  // configuration headers (if any), then the VOP
  bool key = false;            // an I-VOP
};

// Splits an elementary stream at each VOP; headers (VOS, VO, VOL, GOV, user
// data) before a VOP stay at the head of its frame.
std::vector<Mpeg4Frame> SplitMpeg4Frames(const std::vector<uint8_t>& stream);

struct Mpeg4Options {
  bool configInOwnPacket = false;  // configuration of an I-VOP sent ahead of it
  // The first packet of the first I-VOP, configuration and all, also
  // carries the marker, as some servers send it.
  bool earlyMarkerOnFirstKey = false;
};

// ---- the sender ----

struct RtpStreamSettings {
  uint8_t payloadType = 96;
  uint32_t ssrc = 0x0A0B0C0D;
  uint16_t firstSequence = 1000;
  uint32_t firstTimestamp = 90000;
  uint32_t timestampStep = 3600;  // 25 frames a second at 90 kHz
  size_t maxPayload = 1400;       // bytes of RTP payload per packet
};

class RtpSender {
 public:
  explicit RtpSender(const RtpStreamSettings& settings = RtpStreamSettings());

  std::vector<RtpDatagram> PacketizeH264(const std::vector<H264AccessUnit>& units,
                                         const H264Options& options = H264Options());
  // One image is one frame. False (and nothing appended) when the image
  // cannot be sent with these options.
  bool PacketizeJpeg(const JpegImage& image, const JpegOptions& options, std::vector<RtpDatagram>* out,
                     size_t frameIndex = 0);
  std::vector<RtpDatagram> PacketizeMpeg4(const std::vector<Mpeg4Frame>& frames,
                                          const Mpeg4Options& options = Mpeg4Options());

  // Sends each datagram to 127.0.0.1:port from an ephemeral port, with
  // gapMicroseconds between them. False when a send fails.
  static bool SendUdp(const std::vector<RtpDatagram>& datagrams, uint16_t port, unsigned gapMicroseconds = 0);

  uint16_t NextSequence() const { return m_sequence; }

 private:
  RtpDatagram Make(const uint8_t* payload, size_t length, bool marker, size_t frameIndex);
  RtpDatagram Make(const std::vector<uint8_t>& payload, bool marker, size_t frameIndex) {
    return Make(payload.data(), payload.size(), marker, frameIndex);
  }

  RtpStreamSettings m_settings;
  uint16_t m_sequence;
  uint32_t m_timestamp;
};

}  // namespace test
}  // namespace telvora
