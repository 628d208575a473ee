#include "media/mpeg4_rtp_media_parser.h"

#include <algorithm>

#include "media/media_format.h"
#include "platform/module.h"

namespace telvora {
namespace mpeg4 {

bool IsConfigurationStart(const uint8_t* p) {
  if (p[0] != 0 || p[1] != 0 || p[2] != 1) return false;
  return p[3] <= kVideoObjectLayerLast || p[3] == kVisualObjectSequence || p[3] == kVisualObject;
}

}  // namespace mpeg4

namespace {

const size_t kConfigStoreLimit = 64;
// Bytes at the head of a key frame the header is looked for in first.
const size_t kHeaderView = 4096;

using namespace mpeg4;

MpegHeaderParserFunction FindEntry(void* library) {
  void* entry = platform::GetModuleSymbol(library, "ParseMpegHeader");
  if (entry == nullptr) entry = platform::GetModuleSymbol(library, "_ParseMpegHeader@16");
  return reinterpret_cast<MpegHeaderParserFunction>(entry);
}

const char* const kFrameFunction = "telvora::CMpeg4RTPMediaParser::ProcessFrame";
const size_t kNoVop = static_cast<size_t>(-1);

// The VOP start code that begins the data at offset a: right there, or right
// after a group-of-VOP header, which encoders put in front of I-VOPs. The
// group header then stays in the frame, ahead of the VOP.
size_t FindLeadingVop(const uint8_t* p, size_t n, size_t a) {
  if (p == nullptr || a + 4 >= n) return kNoVop;
  if (IsStartCode(p + a, kVop)) return a;
  if (!IsStartCode(p + a, kGroupOfVop)) return kNoVop;
  for (size_t i = a + 4; i + 4 < n; ++i) {
    if (IsStartCode(p + i, kVop)) return i;
  }
  return kNoVop;
}

}  // namespace

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* owner)
    : CRTPMediaParser(owner, kFrameFunction),
      m_waiting(true),
      m_keyFrame(false),
      m_reportedMissingLibrary(false),
      m_library(nullptr),
      m_headerParser(nullptr) {
  const std::string name = platform::ModuleFileName("Kovadel");
  const std::string beside = platform::GetOwnModuleDirectory() + name;
  m_library = platform::LoadModule(beside.c_str());
  if (m_library == nullptr) m_library = platform::LoadModule(name.c_str());
  if (m_library != nullptr) m_headerParser = FindEntry(m_library);
}

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* owner, MpegHeaderParserFunction headerParser)
    : CRTPMediaParser(owner, kFrameFunction),
      m_waiting(true),
      m_keyFrame(false),
      m_reportedMissingLibrary(false),
      m_library(nullptr),
      m_headerParser(headerParser) {}

CMpeg4RTPMediaParser::~CMpeg4RTPMediaParser() {
  if (m_library != nullptr) platform::FreeModule(m_library);
}

void CMpeg4RTPMediaParser::Reset() {
  m_waiting = true;
  m_keyFrame = false;
  m_framePicture = false;
  m_width = 0;
  m_height = 0;
  ClearFrame();
}

size_t CMpeg4RTPMediaParser::StoreStreamConfig(const uint8_t* p, size_t n) {
  if (p == nullptr || n <= 4) return 0;
  for (size_t i = 4; i + 4 <= n; ++i) {
    if (IsStartCode(p + i, kVop)) {
      m_inBandConfig.assign(p, p + i);
      return i;
    }
  }
  if (n >= kConfigStoreLimit) return 0;
  m_inBandConfig.assign(p, p + n);
  return n;
}

bool CMpeg4RTPMediaParser::StartsNewFrame(const CRTPPacket& packet) const {
  const uint8_t* p = packet.GetPayload();
  if (p == nullptr || packet.GetPayloadLength() <= 4) return false;
  return IsConfigurationStart(p) || IsStartCode(p, kGroupOfVop) || IsStartCode(p, kVop);
}

PacketResult CMpeg4RTPMediaParser::Depacketize(const CRTPPacket& packet) {
  const uint8_t* p = packet.GetPayload();
  const size_t n = p != nullptr ? packet.GetPayloadLength() : 0;

  size_t a = 0;
  if (n > 4 && IsConfigurationStart(p)) a = StoreStreamConfig(p, n);
  const size_t vop = FindLeadingVop(p, n, a);
  if (vop != kNoVop) {
    ClearFrame();
    if (p[vop + 4] >= kFirstPredictedVop) {
      m_keyFrame = false;
    } else {
      if (!m_inBandConfig.empty())
        Append(m_inBandConfig.data(), m_inBandConfig.size());
      else if (!m_config.empty())
        Append(m_config.data(), m_config.size());
      m_waiting = false;
      m_keyFrame = true;
    }
    m_framePicture = !m_waiting;
  }
  if (m_waiting) return PacketResult::kDropped;
  if (n > a) Refer(p + a, n - a);
  return PacketResult::kNeedMore;
}

bool CMpeg4RTPMediaParser::FinishFrame(uint32_t* formatCode) {
  m_framePicture = false;
  if (m_frame.empty()) return false;
  *formatCode = kFormatDivi;
  if (m_keyFrame) {
    int32_t width = 0;
    int32_t height = 0;
    if (m_headerParser == nullptr) ReportMissingLibrary();
    if (m_headerParser == nullptr || !ReadHeader(&width, &height)) {
      Reset();
      return false;
    }
    *formatCode = kFormatDivx;
    m_width = width > 0 ? uint32_t(width) : 0;
    m_height = height > 0 ? uint32_t(height) : 0;
  }
  return true;
}

bool CMpeg4RTPMediaParser::ReadHeader(int32_t* width, int32_t* height) {
  // The configuration leads a key frame: its head is read in one piece
  // first, and the whole frame only when the head does not do.
  const size_t size = m_frame.size();
  const size_t head = std::min(size, kHeaderView);
  if (m_headerParser(m_frame.Front(head), static_cast<uint32_t>(head), width, height) > 0) return true;
  return head < size && m_headerParser(m_frame.Front(size), static_cast<uint32_t>(size), width, height) > 0;
}

void CMpeg4RTPMediaParser::ReportMissingLibrary() {
  if (m_reportedMissingLibrary || m_owner == nullptr) return;
  m_reportedMissingLibrary = true;
  const std::string name = platform::ModuleFileName("Kovadel");
  m_owner->Log(1, "%s: The MPEG-4 header library %s cannot be loaded; key frames of device %s cannot be sized and are dropped",
               kFrameFunction, name.c_str(), m_owner->GetDeviceText().c_str());
}

}  // namespace telvora
