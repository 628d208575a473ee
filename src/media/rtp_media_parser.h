// The common base of the depacketizers: sequence continuity, frame
// boundaries, the frame buffer with its size limit, the stream parameters
// from the session description, the picture size and the one hand-off of a
// finished frame to the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/driver_services.h"
#include "media/frame_assembly.h"
#include "media/media_parser_client.h"
#include "rtp/rtp_packet.h"

namespace telvora {

// The codec parameters of the video stream, decoded from the session
// description: the first and second sprop-parameter-sets entries (H.264
// parameter set NAL units, without start code), the MPEG-4 config bytes,
// the picture size the description announces (0 when it names none), and
// the H.264 packetization-mode (-1 when the description gives none).
struct MEDIA_STREAM_PARAMETERS {
  std::vector<uint8_t> parameterSet1;
  std::vector<uint8_t> parameterSet2;
  std::vector<uint8_t> config;
  uint32_t width = 0;
  uint32_t height = 0;
  int packetizationMode = -1;
};

// What one packet did.
enum class PacketResult {
  kNeedMore,    // taken; the frame it belongs to is not finished yet
  kFrameReady,  // a finished frame was handed to the client during the call
  kDropped,     // not used: waiting for a key frame, or the frame was lost
  kInvalid,     // malformed or of a kind this depacketizer refuses
};

// One depacketizer per video stream, fed by one thread (the receive queue's
// delivery thread, or the RTSP client thread with interleaved transport).
// It has no lock of its own. Frames are built in host frames from the
// driver's allocator and handed to the client; every frame it creates it
// also releases.
//
// Payload bytes stay in the packets' storage until the frame is complete
// and are then copied once, gathered, into the host frame.
//
// A frame ends at the marker bit, at a change of timestamp, or where a
// packet begins a new picture. Until a marker has been seen to end a frame
// (the next packet starts a new one), a frame that ends at a marker waits
// for that next packet; a stream whose markers prove right is then served
// at the marker, one whose markers come early is cut by the other rules.
class CRTPMediaParser {
 public:
  // Largest frame the buffer may hold; one byte more drops the frame.
  static constexpr size_t kMaxFrameBufferSize = 10 * 1024 * 1024;

  // owner is borrowed and must outlive the depacketizer. frameFunction
  // names the hand-off in log lines.
  CRTPMediaParser(IDriver* owner, const char* frameFunction);
  virtual ~CRTPMediaParser();
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  // Packets in sequence order. Never throws. The depacketizer may take the
  // packet's payload storage, leaving it another one and an empty payload.
  PacketResult ProcessPacket(CRTPPacket& packet);
  // Drops the frame being assembled and waits for the next key frame.
  virtual void Reset() = 0;
  // Replaces SPS, PPS, configuration and announced size. Called before
  // packets flow.
  virtual void SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters);

  // The client is borrowed; set before the first packet.
  void SetClient(IMediaParserClient* client) { m_client = client; }

  uint32_t GetWidth() const { return m_width; }
  uint32_t GetHeight() const { return m_height; }
  size_t GetFrameBufferSize() const { return m_frame.size(); }
  // Memory held for frames, used or not.
  size_t GetFrameBufferCapacity() const { return m_frame.HeldBytes(); }
  // True once a frame has waited on its marker and the next packet began
  // another frame.
  bool MarkersConfirmed() const { return m_markers == kMarkersRight; }
  // True while a frame is handed over at its marker, not held until the
  // next packet.
  bool FramesEndAtMarker() const { return TrustMarkerAtOnce() || MarkersConfirmed(); }

 protected:
  // Appends the packet's data to the frame. kNeedMore when taken; the other
  // results when not (the codec has reset itself where it had to).
  virtual PacketResult Depacketize(const CRTPPacket& packet) = 0;
  // True when the packet opens a new picture (access unit, VOP, image).
  virtual bool StartsNewFrame(const CRTPPacket& packet) const = 0;
  // Whether a marker alone may end a frame before the sender has shown
  // that its markers are right.
  virtual bool TrustMarkerAtOnce() const { return false; }
  // Turns the frame into the bytes handed over and picks the format code.
  // False drops the frame (the codec resets itself where it must).
  virtual bool FinishFrame(uint32_t* formatCode) = 0;
  // Whether the hand-off also calls SetFormat.
  virtual bool SetsFormat() const { return true; }

  // True when the packet follows the previous one without a gap (the first
  // packet always does). Remembers the packet's sequence number.
  bool CheckSequence(const CRTPPacket& packet);
  // Append copies, Refer keeps bytes of the current packet's payload in
  // place; neither takes the frame past the limit: the piece that does not
  // fit is left out and the frame is dropped once the packet is done.
  bool Append(const uint8_t* data, size_t length) {
    if (!Fits(length)) return false;
    m_frame.Append(data, length);
    return true;
  }
  bool Append(uint8_t byte) { return Append(&byte, 1); }
  bool Refer(const uint8_t* payloadBytes, size_t length) {
    if (!Fits(length)) return false;
    m_frame.Refer(payloadBytes, length);
    return true;
  }
  // 00 00 01, the Annex B start code.
  bool AppendStartCode() {
    if (!Fits(3)) return false;
    m_frame.AppendStartCode();
    return true;
  }
  // Room for up to length more own bytes, written at the pointer returned
  // and kept with Commit, with one limit check for all of them; null when
  // they could take the frame past it: the caller then adds piece by piece.
  uint8_t* Reserve(size_t length) {
    const size_t size = m_frame.size();
    if (m_overflow || size > kMaxFrameBufferSize || length > kMaxFrameBufferSize - size) return nullptr;
    return m_frame.ReserveOwn(length);
  }
  void Commit(const uint8_t* end) { m_frame.CommitOwn(end); }
  // Empties the frame and, after an outsized frame, gives its memory back.
  void ClearFrame();

  uint16_t m_lastSequenceNumber;
  bool m_firstPacket;
  IDriver* m_owner;
  IMediaParserClient* m_client;
  CFrameAssembly m_frame;
  std::vector<uint8_t> m_sps;
  std::vector<uint8_t> m_pps;
  std::vector<uint8_t> m_config;
  uint32_t m_width;
  uint32_t m_height;
  uint32_t m_announcedWidth;
  uint32_t m_announcedHeight;
  // Set by the codec once the buffer holds part of a picture, not only
  // headers that lead one; ClearFrame clears it.
  bool m_framePicture;

 private:
  enum MarkerState { kMarkersUnknown, kMarkersRight, kMarkersEarly };

  // False, and the mark set, when length more bytes would take the frame
  // past the limit.
  bool Fits(size_t length) {
    if (m_overflow) return false;
    const size_t size = m_frame.size();
    if (size <= kMaxFrameBufferSize && length <= kMaxFrameBufferSize - size) return true;
    m_overflow = true;
    return false;
  }
  // Finishes the frame in the buffer and hands it over; true when the
  // client took it.
  bool CompleteFrame(uint32_t rtpTimestamp);
  bool HandOver(uint32_t code, uint32_t rtpTimestamp);
  // False after an append went past the limit: logs the overflow once and
  // clears the mark; the caller then empties the buffer.
  bool CheckBufferSize();
  void ReportMarkersEarly();

  const char* m_frameFunction;
  MarkerState m_markers;
  bool m_frameHeld;        // ended by a marker that is not trusted yet
  bool m_afterMarker;      // the last frame went out at its marker
  bool m_overflow;         // an append of this packet hit the limit
  bool m_allocationFailed;  // reported; quiet until a frame goes out again
  uint32_t m_frameTimestamp;
};

}  // namespace telvora
