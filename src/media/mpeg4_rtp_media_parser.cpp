#include "media/mpeg4_rtp_media_parser.h"

#include "media/media_format.h"
#include "platform/module.h"

namespace telvora {
namespace {

const size_t kConfigStoreLimit = 64;

bool IsStartCode(const uint8_t* p, uint8_t code) { return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == code; }

MpegHeaderParserFunction FindEntry(void* library) {
  void* entry = platform::GetModuleSymbol(library, "ParseMpegHeader");
  if (entry == nullptr) entry = platform::GetModuleSymbol(library, "_ParseMpegHeader@16");
  return reinterpret_cast<MpegHeaderParserFunction>(entry);
}

const size_t kNoVop = static_cast<size_t>(-1);

// The VOP start code that begins the data at offset a: right there, or right
// after a group-of-VOP header, which encoders put in front of I-VOPs. The
// group header then stays in the frame, ahead of the VOP.
size_t FindLeadingVop(const uint8_t* p, size_t n, size_t a) {
  if (p == nullptr || a + 4 >= n) return kNoVop;
  if (IsStartCode(p + a, 0xB6)) return a;
  if (!IsStartCode(p + a, 0xB3)) return kNoVop;
  for (size_t i = a + 4; i + 4 < n; ++i) {
    if (IsStartCode(p + i, 0xB6)) return i;
  }
  return kNoVop;
}

}  // namespace

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* owner)
    : CRTPMediaParser(owner), m_waiting(true), m_keyFrame(false), m_library(nullptr), m_headerParser(nullptr) {
  const std::string name = platform::ModuleFileName("Kovadel");
  const std::string beside = platform::GetOwnModuleDirectory() + name;
  m_library = platform::LoadModule(beside.c_str());
  if (m_library == nullptr) m_library = platform::LoadModule(name.c_str());
  if (m_library != nullptr) m_headerParser = FindEntry(m_library);
}

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* owner, MpegHeaderParserFunction headerParser)
    : CRTPMediaParser(owner), m_waiting(true), m_keyFrame(false), m_library(nullptr), m_headerParser(headerParser) {}

CMpeg4RTPMediaParser::~CMpeg4RTPMediaParser() {
  if (m_library != nullptr) platform::FreeModule(m_library);
}

void CMpeg4RTPMediaParser::Reset() {
  m_waiting = true;
  m_keyFrame = false;
  m_width = 0;
  m_height = 0;
  m_frameBuffer.clear();
}

size_t CMpeg4RTPMediaParser::StoreStreamConfig(const uint8_t* p, size_t n) {
  if (p == nullptr || n <= 4) return 0;
  for (size_t i = 4; i + 4 <= n; ++i) {
    if (IsStartCode(p + i, 0xB6)) {
      m_inBandConfig.assign(p, p + i);
      return i;
    }
  }
  if (n >= kConfigStoreLimit) return 0;
  m_inBandConfig.assign(p, p + n);
  return n;
}

void CMpeg4RTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
  try {
    if (!CheckSequence(packet)) Reset();
    const uint8_t* p = packet.GetPayload();
    const size_t n = p != nullptr ? packet.GetPayloadLength() : 0;

    size_t a = 0;
    if (n > 4 && IsStartCode(p, 0xB0)) a = StoreStreamConfig(p, n);
    const size_t vop = FindLeadingVop(p, n, a);
    if (vop != kNoVop) {
      m_frameBuffer.clear();
      if (p[vop + 4] >= 0x40) {
        m_keyFrame = false;
      } else {
        if (!m_inBandConfig.empty())
          m_frameBuffer = m_inBandConfig;
        else if (!m_config.empty())
          m_frameBuffer = m_config;
        m_waiting = false;
        m_keyFrame = true;
      }
    }
    if (m_waiting) return;
    if (n > a) m_frameBuffer.insert(m_frameBuffer.end(), p + a, p + n);
    if (!CheckBufferSize()) {
      Reset();
      return;
    }
    if (packet.GetMarker() && !m_frameBuffer.empty()) {
      ProcessFrame(packet.GetTimestamp());
      m_frameBuffer.clear();
    }
  } catch (...) {
    Reset();
  }
}

void CMpeg4RTPMediaParser::ProcessFrame(uint32_t rtpTimestamp) {
  if (m_client == nullptr || m_frameBuffer.empty()) return;
  IFrameAllocator* allocator = m_owner != nullptr ? m_owner->GetFrameAllocator() : nullptr;
  if (allocator == nullptr) return;
  const uint32_t size = static_cast<uint32_t>(m_frameBuffer.size());
  uint32_t code = kFormatDivi;
  if (m_keyFrame) {
    int32_t width = 0;
    int32_t height = 0;
    if (m_headerParser == nullptr || m_headerParser(m_frameBuffer.data(), size, &width, &height) <= 0) {
      Reset();
      return;
    }
    code = kFormatDivx;
    m_width = width > 0 ? uint32_t(width) : 0;
    m_height = height > 0 ? uint32_t(height) : 0;
  }

  IVideoFrame* frame = allocator->CreateFrame(code, size, m_client->GetDriverName().c_str());
  if (frame == nullptr) return;
  try {
    StampFrame(frame, code, rtpTimestamp, size);
    if (!CopyToFrame(frame)) {
      m_owner->Log(1, "%s: Data copying error, device %s", "telvora::CMpeg4RTPMediaParser::ProcessFrame",
                   m_owner->GetDeviceText().c_str());
      Reset();
    } else if (!m_client->DeliverFrame(frame)) {
      Reset();
    }
  } catch (...) {
    Reset();
  }
  ReleaseHostFrame(allocator, frame);
}

}  // namespace telvora
