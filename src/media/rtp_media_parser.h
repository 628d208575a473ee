// The common base of the depacketizers: sequence continuity, the frame
// buffer with its size limit, the stream parameters from the session
// description and the picture size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/driver_services.h"
#include "media/media_parser_client.h"
#include "rtp/rtp_packet.h"

namespace telvora {

// The codec parameters of the video stream, decoded from the session
// description: the first and second sprop-parameter-sets entries (H.264
// SPS and PPS NAL units, without start code) and the MPEG-4 config bytes.
struct MEDIA_STREAM_PARAMETERS {
  std::vector<uint8_t> parameterSet1;
  std::vector<uint8_t> parameterSet2;
  std::vector<uint8_t> config;
};

// One depacketizer per video stream, fed by one thread (the receive queue's
// delivery thread, or the RTSP client thread with interleaved transport).
// It has no lock of its own. Frames are built in host frames from the
// driver's allocator and handed to the client; every frame it creates it
// also releases. Nothing is reported to the caller of ProcessPacket.
class CRTPMediaParser {
 public:
  // Largest frame the buffer may hold; one byte more drops the frame.
  static constexpr size_t kMaxFrameBufferSize = 10 * 1024 * 1024;

  // owner is borrowed and must outlive the depacketizer.
  explicit CRTPMediaParser(IDriver* owner);
  virtual ~CRTPMediaParser();
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  // Packets in sequence order. Never throws.
  virtual void ProcessPacket(const CRTPPacket& packet) = 0;
  // Drops the frame being assembled and waits for the next key frame.
  virtual void Reset() = 0;
  // Replaces SPS, PPS and configuration. Called before packets flow.
  virtual void SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters);

  // The client is borrowed; set before the first packet.
  void SetClient(IMediaParserClient* client) { m_client = client; }

  uint32_t GetWidth() const { return m_width; }
  uint32_t GetHeight() const { return m_height; }
  size_t GetFrameBufferSize() const { return m_frameBuffer.size(); }

 protected:
  // True when the packet follows the previous one without a gap (the first
  // packet always does). Remembers the packet's sequence number.
  bool CheckSequence(const CRTPPacket& packet);
  // False, with a level-1 line, when the frame buffer exceeds the limit.
  bool CheckBufferSize();
  // Copies the frame buffer into the host frame's memory. False when the
  // frame has no memory.
  bool CopyToFrame(IVideoFrame* frame);
  // Time, size, picture size and format of a finished H.264 or MPEG-4
  // frame, in the order the host expects them.
  void StampFrame(IVideoFrame* frame, uint32_t code, uint32_t rtpTimestamp, uint32_t size);
  // The allocator's ReleaseFrame, guarded against a throwing host.
  static void ReleaseHostFrame(IFrameAllocator* allocator, IVideoFrame* frame);

  uint16_t m_lastSequenceNumber;
  bool m_firstPacket;
  IDriver* m_owner;
  IMediaParserClient* m_client;
  std::vector<uint8_t> m_frameBuffer;
  std::vector<uint8_t> m_sps;
  std::vector<uint8_t> m_pps;
  std::vector<uint8_t> m_config;
  uint32_t m_width;
  uint32_t m_height;
};

}  // namespace telvora
