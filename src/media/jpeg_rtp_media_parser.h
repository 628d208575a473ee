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
#include <vector>

#include "media/rtp_media_parser.h"

namespace telvora {

// What a stream has told the depacketizer beyond each packet: the picture
// size its description announces (for sizes the 8-pixel fields cannot
// hold) and the quantization tables last sent for each Q of 128 to 254.
struct JPEG_STREAM_STATE {
  struct TABLES {
    uint8_t precision = 0;  // bit i set: table i has 16-bit entries
    std::vector<uint8_t> bytes;
  };
  uint16_t announcedWidth = 0;
  uint16_t announcedHeight = 0;
  TABLES tablesByQ[127];  // Q 128 to 254
};

class CJpegRTPMediaParser : public CRTPMediaParser {
 public:
  // The JPEG header is prepared in an area of this size; a header that
  // does not fit drops the frame.
  static constexpr size_t kHeaderAreaSize = 1024;

  explicit CJpegRTPMediaParser(IDriver* owner);
  ~CJpegRTPMediaParser() override;

  void Reset() override;
  // Takes the announced picture size; the rest is not used.
  void SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) override;

  bool IsWaiting() const { return m_waiting; }

  // Reads the RFC 2435 headers at the head of data (the first packet of a
  // frame) and writes the JPEG header for them into out. On success
  // *headerLength is the header's size (0 for a frame that does not start
  // at offset 0) and *consumed the count of RFC 2435 header bytes to drop
  // from the front. A pure function; never reads outside [data, data +
  // length) or write outside [out, out + kHeaderAreaSize). state, when
  // given, supplies the announced size and the table cache, which it keeps.
  static bool PrepareJpegHeader(const uint8_t* data, size_t length, uint8_t* out, size_t* headerLength,
                                size_t* consumed, JPEG_STREAM_STATE* state = nullptr);

  // Writes SOI, APP0 (JFIF 1.1), DRI when restartInterval is not 0, the
  // DQT segments, SOF0 (SOF1 with 16-bit tables), the four standard DHT
  // segments and SOS. With 8-bit tables up to 64 bytes make one table and
  // more make two halves; precision bit i marks table i as 16-bit (128
  // bytes). Bit 0 of type selects 4:2:0 (set) or 4:2:2. Returns the bytes
  // written, or 0 when they would exceed capacity.
  static size_t BuildJpegHeader(uint8_t* out, size_t capacity, uint8_t type, uint16_t width, uint16_t height,
                                const uint8_t* tables, size_t tableLength, uint16_t restartInterval,
                                uint8_t precision = 0);
  // Bytes BuildJpegHeader writes for these settings.
  static size_t JpegHeaderLength(size_t tableLength, uint16_t restartInterval, uint8_t precision = 0);

  // Bytes of RFC 2435 headers at the head of a packet: the main header,
  // the restart marker header for types 64 to 127 and, in the first packet
  // when Q is 128 or more, the quantization table header and its tables.
  // False when the packet is too short for them.
  static bool Rfc2435HeaderSize(const uint8_t* data, size_t length, size_t* size);

  // The luminance and chrominance tables (zig-zag order) for quality Q.
  static void ScaleQuantTables(uint8_t q, uint8_t out[128]);

 protected:
  PacketResult Depacketize(const CRTPPacket& packet) override;
  bool StartsNewFrame(const CRTPPacket& packet) const override;
  // RFC 2435 requires the marker on the last packet of every image.
  bool TrustMarkerAtOnce() const override { return true; }
  bool FinishFrame(uint32_t* formatCode) override;
  bool SetsFormat() const override { return false; }

 private:
  // afterExtension: the packet opened the frame with its extension.
  bool HandlePayload(const uint8_t* payload, size_t length, bool afterExtension);
  bool HandleExtension(uint16_t profile, const uint8_t* data, size_t words);
  // Turns the buffer into a complete JPEG image. On false it is empty.
  bool BuildJpegFrame();
  bool BuildRfc2435Frame();
  void FindFrameSize();
  void AddEndOfImage();

  bool m_waiting;
  uint32_t m_payloadHeaderSize;
  JPEG_STREAM_STATE m_state;
};

}  // namespace telvora
