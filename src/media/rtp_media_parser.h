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
#include "media/frame_buffer.h"
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

  // Packets in sequence order. Never throws.
  PacketResult ProcessPacket(const CRTPPacket& packet);
  // Drops the frame being assembled and waits for the next key frame.
  virtual void Reset() = 0;
  // Replaces SPS, PPS, configuration and announced size. Called before
  // packets flow.
  virtual void SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters);

  // The client is borrowed; set before the first packet.
  void SetClient(IMediaParserClient* client) { m_client = client; }

  uint32_t GetWidth() const { return m_width; }
  uint32_t GetHeight() const { return m_height; }
  size_t GetFrameBufferSize() const { return m_frameBuffer.size(); }
  size_t GetFrameBufferCapacity() const { return m_frameBuffer.capacity(); }
  // True once a frame has waited on its marker and the next packet began
  // another frame.
  bool MarkersConfirmed() const { return m_markers == kMarkersRight; }

 protected:
  // Appends the packet's data to the frame. kNeedMore when taken; the other
  // results when not (the codec has reset itself where it had to).
  virtual PacketResult Depacketize(const CRTPPacket& packet) = 0;
  // True when the packet opens a new picture (access unit, VOP, image).
  virtual bool StartsNewFrame(const CRTPPacket& packet) const = 0;
  // Whether a marker alone may end a frame before the sender has shown
  // that its markers are right.
  virtual bool TrustMarkerAtOnce() const { return false; }
  // Turns the buffer into the bytes handed over and picks the format code.
  // False drops the frame (the codec resets itself where it must).
  virtual bool FinishFrame(uint32_t* formatCode) = 0;
  // Whether the hand-off also calls SetFormat.
  virtual bool SetsFormat() const { return true; }

  // True when the packet follows the previous one without a gap (the first
  // packet always does). Remembers the packet's sequence number.
  bool CheckSequence(const CRTPPacket& packet);
  // Appends to the frame unless that would take it past the limit; then
  // nothing is appended and the frame is dropped once the packet is done.
  bool Append(const uint8_t* data, size_t length) {
    const size_t size = m_frameBuffer.size();
    if (!m_overflow && length != 0 && length <= m_frameBuffer.capacity() - size && size + length <= kMaxFrameBufferSize) {
      std::memcpy(m_frameBuffer.data() + size, data, length);
      m_frameBuffer.SetSize(size + length);
      return true;
    }
    return AppendGrowing(data, length);
  }
  bool Append(uint8_t byte) { return Append(&byte, 1); }
  // 00 00 01, the Annex B start code, without a call for three bytes.
  bool AppendStartCode() {
    const size_t size = m_frameBuffer.size();
    if (!m_overflow && m_frameBuffer.capacity() - size >= 3 && size + 3 <= kMaxFrameBufferSize) {
      uint8_t* out = m_frameBuffer.data() + size;
      out[0] = 0;
      out[1] = 0;
      out[2] = 1;
      m_frameBuffer.SetSize(size + 3);
      return true;
    }
    static const uint8_t kCode[3] = {0, 0, 1};
    return AppendGrowing(kCode, 3);
  }
  // Room for up to length more bytes, to be written at the returned
  // pointer and kept with Commit; one limit check for a whole packet. Null
  // when they could take the frame past the limit: the caller then appends
  // piece by piece, and the piece that does not fit drops the frame.
  uint8_t* Reserve(size_t length) {
    const size_t size = m_frameBuffer.size();
    if (m_overflow || size > kMaxFrameBufferSize || length > kMaxFrameBufferSize - size) return nullptr;
    if (length > m_frameBuffer.capacity() - size) Grow(size + length);
    return m_frameBuffer.data() + size;
  }
  // Keeps what was written since Reserve, up to end.
  void Commit(const uint8_t* end) { m_frameBuffer.SetSize(static_cast<size_t>(end - m_frameBuffer.data())); }
  // Empties the frame buffer and, after an outsized frame, gives its
  // memory back.
  void ClearFrame();

  uint16_t m_lastSequenceNumber;
  bool m_firstPacket;
  IDriver* m_owner;
  IMediaParserClient* m_client;
  CFrameBuffer m_frameBuffer;
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

  bool AppendGrowing(const uint8_t* data, size_t length);
  // Room for needed bytes in all: doubling, but never past what the limit
  // can use.
  void Grow(size_t needed);
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
