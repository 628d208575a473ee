// Rebuilds MPEG-4 part 2 frames from RTP packets (RFC 3016: the elementary
// stream cut at arbitrary points). A packet led by a VOS, VO, VOL,
// group-of-VOP or VOP start code starts a frame; the stream configuration
// (VOS, VO, VOL headers) goes in front of every I-VOP, and the picture size
// of I-VOP frames comes from the header library "Kovadel", loaded at run
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/rtp_media_parser.h"
#include "platform/module.h"

namespace telvora {
namespace mpeg4 {

// The byte after 00 00 01.
enum StartCode : uint8_t {
  kVideoObjectFirst = 0x00,  // 00 to 1F
  kVideoObjectLayerFirst = 0x20,  // 20 to 2F
  kVideoObjectLayerLast = 0x2F,
  kVisualObjectSequence = 0xB0,
  kGroupOfVop = 0xB3,
  kVisualObject = 0xB5,
  kVop = 0xB6,
};

// vop_coding_type sits in the top two bits of the byte after a VOP start
// code; values below this one are I-VOPs.
const uint8_t kFirstPredictedVop = 0x40;

// True when p (at least 4 bytes) starts with 00 00 01 code.
inline bool IsStartCode(const uint8_t* p, uint8_t code) { return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == code; }
// A VOS, VO or VOL header: configuration.
bool IsConfigurationStart(const uint8_t* p);

}  // namespace mpeg4

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

  void Reset() override;

  // Keeps the configuration at the head of a packet that starts with a
  // VOS, VO or VOL header: the bytes before the first VOP start code, or
  // the whole payload when it has none and is under 64 bytes. Returns the
  // count of bytes taken (0 when none).
  size_t StoreStreamConfig(const uint8_t* data, size_t length);

  bool IsWaiting() const { return m_waiting; }
  bool HasHeaderParser() const { return m_headerParser != nullptr; }
  const std::vector<uint8_t>& GetInBandConfig() const { return m_inBandConfig; }

 protected:
  PacketResult Depacketize(const CRTPPacket& packet) override;
  bool StartsNewFrame(const CRTPPacket& packet) const override;
  bool FinishFrame(uint32_t* formatCode) override;

 private:
  // The picture size from the key frame's video object layer header.
  bool ReadHeader(int32_t* width, int32_t* height);
  void ReportMissingLibrary();

  bool m_waiting;
  bool m_keyFrame;
  bool m_reportedMissingLibrary;
  std::vector<uint8_t> m_inBandConfig;
  void* m_library;
  MpegHeaderParserFunction m_headerParser;
};

}  // namespace telvora
