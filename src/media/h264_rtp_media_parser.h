// Rebuilds H.264 access units in Annex B form (start code 00 00 01 before
// every NAL unit) from RTP packets in the RFC 6184 payload format: single
// NAL unit packets, STAP-A and FU-A (non-interleaved modes 0 and 1). A
// stream whose description announces the interleaved mode 2 is refused
// before its first packet; one that names no mode, or mode 0, may still
// send STAP-A and FU-A, as many cameras do, and they are taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "media/rtp_media_parser.h"

namespace telvora {
namespace h264 {

// NAL unit types, and the RFC 6184 packet types that share the field.
enum NalType : uint8_t {
  kNalSlice = 1,
  kNalIdrSlice = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalAccessUnitDelimiter = 9,
  kNalPrefix = 14,         // 14 to 18 also open an access unit
  kNalLastReserved = 18,
  kNalStapA = 24,
  kNalStapB = 25,          // 25 to 27 and 29 belong to the interleaved mode
  kNalMtap16 = 26,
  kNalMtap24 = 27,
  kNalFuA = 28,
  kNalFuB = 29,
};

inline uint8_t NalTypeOf(uint8_t header) { return header & 0x1F; }
inline bool IsSlice(uint8_t type) { return type >= kNalSlice && type <= kNalIdrSlice; }

extern const uint8_t kStartCode[3];
// Ends every frame: an access unit delimiter, primary_pic_type 1.
extern const uint8_t kFrameTrailer[5];

// Whether a NAL unit of this type, whose next byte is secondByte, opens a
// new access unit once the current one holds a slice: a delimiter, SEI or
// parameter set, or a slice with first_mb_in_slice 0.
bool OpensAccessUnit(uint8_t type, uint8_t secondByte);

}  // namespace h264

// A key frame ("H264") is an access unit with an SPS at its head; SPS and
// PPS units never reach a frame from the packets themselves, they are kept
// per id and put in front of the first IDR slice of a picture (the ones
// that slice refers to). Every frame ends with an access unit delimiter.
// After construction and after any loss the depacketizer hands over
// nothing until the next key frame; after that, frames without SPS go out
// as "I264" with the last known size.
class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  explicit CH264RTPMediaParser(IDriver* owner);
  ~CH264RTPMediaParser() override;

  void Reset() override;
  // Keeps the SPS and PPS of the description (in either order) when the
  // SPS yields a picture size. Packetization mode 2 is logged at once and
  // every packet is refused.
  void SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) override;

  // Reads the picture size from the first SPS NAL unit (after a 00 00 01
  // start code in the first 64 bytes). Emulation-prevention bytes are
  // skipped. False when there is none, it is cut short, or the size comes
  // out 0. A pure function of its input; never reads outside it.
  static bool ParseSps(const uint8_t* data, size_t length, uint32_t* width, uint32_t* height);

  bool IsWaiting() const { return m_waiting; }
  size_t GetStoredSpsCount() const { return m_spsById.size(); }
  size_t GetStoredPpsCount() const { return m_ppsById.size(); }

 protected:
  PacketResult Depacketize(const CRTPPacket& packet) override;
  bool StartsNewFrame(const CRTPPacket& packet) const override;
  bool FinishFrame(uint32_t* formatCode) override;

 private:
  enum FragmentMode { kFragmentAppend, kFragmentSkip, kFragmentKeep };

  // False when the packet is refused.
  bool HandleStapA(const uint8_t* payload, size_t length);
  bool HandleFuA(const uint8_t* payload, size_t length);
  // A unit of the current packet's payload.
  void HandleNalUnit(const uint8_t* unit, size_t length);
  // The picture size from the SPS at the head of the frame.
  bool FindSps(uint32_t* width, uint32_t* height);
  // A slice: the parameter sets before the first IDR slice, then the unit.
  void BeginSlice(uint8_t type, const uint8_t* sliceData, size_t length);
  void StoreParameterSet(const uint8_t* unit, size_t length);
  void InsertParameterSets(const uint8_t* sliceData, size_t length);
  void AppendUnit(const uint8_t* unit, size_t length);
  void ReportInterleaved();

  bool m_waiting;
  bool m_reportedInterleaved;
  bool m_interleaved;  // the description announced mode 2
  FragmentMode m_fragmentMode;
  std::vector<uint8_t> m_fragmentedSet;  // an SPS or PPS arriving in FU-A
  std::map<uint32_t, std::vector<uint8_t>> m_spsById;
  std::map<uint32_t, std::vector<uint8_t>> m_ppsById;
  uint32_t m_reportedWidth;
  uint32_t m_reportedHeight;
};

}  // namespace telvora
