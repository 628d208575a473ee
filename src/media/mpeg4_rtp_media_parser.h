// Rebuilds MPEG-4 part 2 frames from RTP packets (RFC 3016: the elementary
// stream cut at arbitrary points). A VOP start code at the head of a packet
// starts a frame; the stream configuration (VOS, VO, VOL headers) goes in
// front of every I-VOP, and the picture size of I-VOP frames comes from the
// header library "Kovadel", loaded at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/rtp_media_parser.h"
#include "platform/module.h"

namespace telvora {

// The library's entry: the whole frame in, width and height out; a result
// above 0 means success.
typedef int32_t(ORVALEN_STDCALL* MpegHeaderParserFunction)(const uint8_t* data, uint32_t size, int32_t* width, int32_t* height);

class CMpeg4RTPMediaParser : public CRTPMediaParser {
 public:
  // Loads Kovadel from the directory of the module holding this code, else
  // by its bare name. Without it every I-VOP frame is dropped.
  explicit CMpeg4RTPMediaParser(IDriver* owner);
  // Uses the given header parser (may be null) and loads no library.
  CMpeg4RTPMediaParser(IDriver* owner, MpegHeaderParserFunction headerParser);
  ~CMpeg4RTPMediaParser() override;

  void ProcessPacket(const CRTPPacket& packet) override;
  void Reset() override;

  // Keeps the configuration at the head of a packet that starts with a
  // visual object sequence: the bytes before the first VOP start code, or
  // the whole payload when it has none and is under 64 bytes. Returns the
  // count of bytes taken (0 when none).
  size_t StoreStreamConfig(const uint8_t* data, size_t length);

  bool IsWaiting() const { return m_waiting; }
  bool HasHeaderParser() const { return m_headerParser != nullptr; }
  const std::vector<uint8_t>& GetInBandConfig() const { return m_inBandConfig; }

 private:
  void ProcessFrame(uint32_t rtpTimestamp);

  bool m_waiting;
  bool m_keyFrame;
  std::vector<uint8_t> m_inBandConfig;
  void* m_library;
  MpegHeaderParserFunction m_headerParser;
};

}  // namespace telvora
