// Rebuilds JPEG (JFIF) images from RTP packets. Two forms of stream:
// - RFC 2435: a main header (and a restart marker header for types 64 to
//   127, a quantization table header in the first packet for Q 128 and
//   above) before the scan data; the whole JPEG header is written here;
// - extension mode: the first packet carries an RTP header extension with
//   profile 0xFFD8 holding the image's marker segments; only SOI and a
//   missing EOI are added.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/rtp_media_parser.h"

namespace telvora {

class CJpegRTPMediaParser : public CRTPMediaParser {
 public:
  // The JPEG header is prepared in an area of this size; a header that
  // does not fit drops the frame.
  static constexpr size_t kHeaderAreaSize = 1024;

  explicit CJpegRTPMediaParser(IDriver* owner);
  ~CJpegRTPMediaParser() override;

  void ProcessPacket(const CRTPPacket& packet) override;
  void Reset() override;

  bool IsWaiting() const { return m_waiting; }

  // Reads the RFC 2435 headers at the head of data (the first packet of a
  // frame) and writes the JPEG header for them into out. On success
  // *headerLength is the header's size (0 for a frame that does not start
  // at offset 0) and *consumed the count of RFC 2435 header bytes to drop
  // from the front. A pure function; never reads outside [data, data +
  // length) or writes outside [out, out + kHeaderAreaSize).
  static bool PrepareJpegHeader(const uint8_t* data, size_t length, uint8_t* out, size_t* headerLength,
                                size_t* consumed);

  // Writes SOI, APP0 (JFIF 1.1), DRI when restartInterval is not 0, one DQT
  // segment for up to 64 table bytes or two for more, SOF0, the four
  // standard DHT segments and SOS. Bit 0 of type selects 4:2:0 (set) or
  // 4:2:2. Returns the bytes written, or 0 when they would exceed capacity.
  static size_t BuildJpegHeader(uint8_t* out, size_t capacity, uint8_t type, uint16_t width, uint16_t height,
                                const uint8_t* tables, size_t tableLength, uint16_t restartInterval);
  // Bytes BuildJpegHeader writes for these settings.
  static size_t JpegHeaderLength(size_t tableLength, uint16_t restartInterval);

  // The luminance and chrominance tables (zig-zag order) for quality Q.
  static void ScaleQuantTables(uint8_t q, uint8_t out[128]);

 private:
  bool HandlePayload(const uint8_t* payload, size_t length);
  bool HandleExtension(uint16_t profile, const uint8_t* data, size_t words);
  // Turns the buffer into a complete JPEG image. On false it is empty.
  bool BuildJpegFrame();
  bool BuildRfc2435Frame();
  void FindFrameSize();
  void AddEndOfImage();
  void ProcessFrame(uint32_t rtpTimestamp);

  bool m_waiting;
  uint32_t m_payloadHeaderSize;
};

}  // namespace telvora
