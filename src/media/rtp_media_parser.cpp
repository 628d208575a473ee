#include "media/rtp_media_parser.h"

#include <algorithm>
#include <cstring>

#include "media/media_format.h"

namespace telvora {

constexpr size_t CRTPMediaParser::kMaxFrameBufferSize;

namespace {

// Room past the limit for what a codec adds when it finishes a frame (the
// H.264 delimiter, a JPEG header in place of the RFC 2435 headers).
constexpr size_t kFinishSlack = 2048;

}  // namespace

CRTPMediaParser::CRTPMediaParser(IDriver* owner, const char* frameFunction)
    : m_lastSequenceNumber(0),
      m_firstPacket(true),
      m_owner(owner),
      m_client(nullptr),
      m_frame(kMaxFrameBufferSize + kFinishSlack),
      m_width(0),
      m_height(0),
      m_announcedWidth(0),
      m_announcedHeight(0),
      m_framePicture(false),
      m_frameFunction(frameFunction),
      m_markers(kMarkersUnknown),
      m_frameHeld(false),
      m_afterMarker(false),
      m_overflow(false),
      m_allocationFailed(false),
      m_frameTimestamp(0) {}

CRTPMediaParser::~CRTPMediaParser() {}

void CRTPMediaParser::SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) {
  m_sps = parameters.parameterSet1;
  m_pps = parameters.parameterSet2;
  m_config = parameters.config;
  m_announcedWidth = parameters.width;
  m_announcedHeight = parameters.height;
}

bool CRTPMediaParser::CheckSequence(const CRTPPacket& packet) {
  const uint16_t sequence = packet.GetSequenceNumber();
  if (m_firstPacket) {
    m_firstPacket = false;
    m_lastSequenceNumber = sequence;
    return true;
  }
  const uint16_t expected = static_cast<uint16_t>(m_lastSequenceNumber + 1);
  m_lastSequenceNumber = sequence;
  return sequence == expected;
}

PacketResult CRTPMediaParser::ProcessPacket(CRTPPacket& packet) {
  try {
    bool delivered = false;
    const uint32_t timestamp = packet.GetTimestamp();
    if (!CheckSequence(packet)) {
      m_afterMarker = false;
      Reset();
    }
    // Packets without data (keep-alives) say nothing about boundaries.
    const bool hasData = packet.GetPayloadLength() != 0 || packet.GetExtensionLength() != 0;
    if (hasData) {
      if (m_framePicture && (timestamp != m_frameTimestamp || StartsNewFrame(packet))) {
        if (m_frameHeld && m_markers == kMarkersUnknown) m_markers = kMarkersRight;
        delivered = CompleteFrame(m_frameTimestamp);
      } else if (m_frameHeld) {
        // Same picture after its marker: this sender marks too early.
        m_frameHeld = false;
        ReportMarkersEarly();
      } else if (m_afterMarker && timestamp == m_frameTimestamp && !StartsNewFrame(packet)) {
        // The frame handed over at its marker was only part of its picture,
        // and what follows refers to all of it.
        ReportMarkersEarly();
        Reset();
      }
      m_afterMarker = false;
    }

    m_frame.SetPacketStorage(packet.GetPayloadCapacity());
    const PacketResult result = Depacketize(packet);
    m_frame.Keep(packet);
    if (!CheckBufferSize()) {
      Reset();
      return PacketResult::kDropped;
    }
    if (result != PacketResult::kNeedMore) return delivered ? PacketResult::kFrameReady : result;
    if (!m_framePicture) return delivered ? PacketResult::kFrameReady : PacketResult::kNeedMore;
    m_frameTimestamp = timestamp;
    if (packet.GetMarker()) {
      if (TrustMarkerAtOnce() || m_markers == kMarkersRight) {
        delivered = CompleteFrame(timestamp) || delivered;
        m_afterMarker = !TrustMarkerAtOnce();
      } else {
        m_frameHeld = true;
      }
    }
    return delivered ? PacketResult::kFrameReady : PacketResult::kNeedMore;
  } catch (...) {
    // Out of memory while growing a buffer: the frame is lost.
    m_overflow = false;
    Reset();
    return PacketResult::kDropped;
  }
}

void CRTPMediaParser::ClearFrame() {
  m_frame.clear();
  m_frameHeld = false;
  m_framePicture = false;
}

bool CRTPMediaParser::CompleteFrame(uint32_t rtpTimestamp) {
  m_frameHeld = false;
  uint32_t code = 0;
  bool taken = false;
  if (FinishFrame(&code) && !m_frame.empty()) taken = HandOver(code, rtpTimestamp);
  ClearFrame();
  return taken;
}

bool CRTPMediaParser::HandOver(uint32_t code, uint32_t rtpTimestamp) {
  IFrameAllocator* allocator = m_owner != nullptr ? m_owner->GetFrameAllocator() : nullptr;
  IVideoFrame* frame = nullptr;
  if (allocator != nullptr && m_client != nullptr)
    frame = allocator->CreateFrame(code, static_cast<uint32_t>(m_frame.size()), m_client->GetDriverName().c_str());
  if (frame == nullptr) {
    // Frames that follow refer to this one: the codec waits for a key frame.
    if (m_client != nullptr && !m_allocationFailed && m_owner != nullptr) {
      m_allocationFailed = true;
      m_owner->Log(1, "%s: Frame allocation error, device %s", m_frameFunction, m_owner->GetDeviceText().c_str());
    }
    Reset();
    return false;
  }
  bool taken = false;
  try {
    uint8_t* data = frame->GetData();
    if (data == nullptr) {
      m_owner->Log(1, "%s: Data copying error, device %s", m_frameFunction, m_owner->GetDeviceText().c_str());
      Reset();
    } else {
      const uint32_t size = static_cast<uint32_t>(m_frame.size());
      m_frame.CopyTo(data);
      SYSTEMTIME time{};
      m_client->ConvertTimestamp(rtpTimestamp, &time);
      frame->SetWidth(m_width);
      frame->SetHeight(m_height);
      frame->SetResolutionClass(GetResolutionClass(m_width, m_height));
      frame->SetDataSize(size);
      if (SetsFormat()) frame->SetFormat(code);
      frame->SetTime(&time);
      taken = m_client->DeliverFrame(frame);
      if (taken)
        m_allocationFailed = false;
      else
        Reset();
    }
  } catch (...) {
    Reset();
  }
  try {
    allocator->ReleaseFrame(frame);
  } catch (...) {
  }
  return taken;
}

bool CRTPMediaParser::CheckBufferSize() {
  if (!m_overflow) return true;
  m_overflow = false;
  if (m_owner == nullptr) return false;
  const DEVICE_INFO* info = m_owner->GetDeviceInfo();
  m_owner->Log(1, "%s: Frame buffer overflow detected, device %s:%u", "telvora::CRTPMediaParser::CheckBufferSize",
               info != nullptr ? info->address.c_str() : "", info != nullptr ? unsigned(info->port) : 0u);
  return false;
}

void CRTPMediaParser::ReportMarkersEarly() {
  if (m_markers == kMarkersEarly) return;
  m_markers = kMarkersEarly;
  if (m_owner == nullptr) return;
  m_owner->Log(3, "%s: Device %s sets the RTP marker before the end of a picture; frames are cut where a new one begins",
               "telvora::CRTPMediaParser::ReportMarkersEarly", m_owner->GetDeviceText().c_str());
}

}  // namespace telvora
