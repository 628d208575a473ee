// Rebuilds H.264 access units in Annex B form (start code 00 00 01 before
// every NAL unit) from RTP packets in the RFC 6184 payload format: single
// NAL unit packets, STAP-A and FU-A.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/rtp_media_parser.h"

namespace telvora {

// A key frame ("H264") is an access unit with an SPS at its head; SPS and
// PPS units never reach a frame from the packets themselves, they are put
// in front of the first IDR slice of a picture. Every frame ends with an
// access unit delimiter (00 00 01 09 30). After construction and after any
// loss the depacketizer hands over nothing until the next key frame; after
// that, frames without SPS go out as "I264" with the last known size.
class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  explicit CH264RTPMediaParser(IDriver* owner);
  ~CH264RTPMediaParser() override;

  void ProcessPacket(const CRTPPacket& packet) override;
  void Reset() override;
  // Keeps SPS and PPS only when the SPS yields a picture size.
  void SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) override;

  // Reads the picture size from the first SPS NAL unit (after a 00 00 01
  // start code in the first 64 bytes). Emulation-prevention bytes are
  // skipped. False when there is none, it is cut short, or the size comes
  // out 0. A pure function of its input; never reads outside it.
  static bool ParseSps(const uint8_t* data, size_t length, uint32_t* width, uint32_t* height);

  bool IsWaiting() const { return m_waiting; }

 private:
  // False when the packet is refused.
  bool HandlePayload(const uint8_t* payload, size_t length);
  bool HandleSingleNal(const uint8_t* payload, size_t length);
  bool HandleStapA(const uint8_t* payload, size_t length);
  bool HandleFuA(const uint8_t* payload, size_t length);
  void HandleNalUnit(const uint8_t* unit, size_t length);
  void InsertParameterSets();
  void AppendStartCode();
  void Append(const uint8_t* data, size_t length);
  void ProcessFrame(uint32_t rtpTimestamp);

  bool m_waiting;
};

}  // namespace telvora
