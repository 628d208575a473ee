#include "media/rtp_media_parser.h"

#include <cstring>

#include "media/media_format.h"

namespace telvora {

CRTPMediaParser::CRTPMediaParser(IDriver* owner)
    : m_lastSequenceNumber(0), m_firstPacket(true), m_owner(owner), m_client(nullptr), m_width(0), m_height(0) {}

CRTPMediaParser::~CRTPMediaParser() {}

void CRTPMediaParser::SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) {
  m_sps = parameters.parameterSet1;
  m_pps = parameters.parameterSet2;
  m_config = parameters.config;
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

bool CRTPMediaParser::CheckBufferSize() {
  if (m_frameBuffer.size() <= kMaxFrameBufferSize) return true;
  if (m_owner != nullptr) {
    const DEVICE_INFO* info = m_owner->GetDeviceInfo();
    m_owner->Log(1, "%s: Frame buffer overflow detected, device %s:%u", "telvora::CRTPMediaParser::CheckBufferSize",
                 info != nullptr ? info->address.c_str() : "", info != nullptr ? unsigned(info->port) : 0u);
  }
  return false;
}

bool CRTPMediaParser::CopyToFrame(IVideoFrame* frame) {
  uint8_t* data = frame->GetData();
  if (data == nullptr) return false;
  if (!m_frameBuffer.empty()) std::memcpy(data, m_frameBuffer.data(), m_frameBuffer.size());
  return true;
}

void CRTPMediaParser::StampFrame(IVideoFrame* frame, uint32_t code, uint32_t rtpTimestamp, uint32_t size) {
  SYSTEMTIME time{};
  m_client->ConvertTimestamp(rtpTimestamp, &time);
  frame->SetWidth(m_width);
  frame->SetHeight(m_height);
  frame->SetResolutionClass(GetResolutionClass(m_width, m_height));
  frame->SetDataSize(size);
  frame->SetFormat(code);
  frame->SetTime(&time);
}

void CRTPMediaParser::ReleaseHostFrame(IFrameAllocator* allocator, IVideoFrame* frame) {
  try {
    allocator->ReleaseFrame(frame);
  } catch (...) {
  }
}

}  // namespace telvora
