#include "media/h264_rtp_media_parser.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "media/h264_bit_reader.h"
#include "media/media_format.h"

namespace telvora {
namespace h264 {

const uint8_t kStartCode[3] = {0, 0, 1};
const uint8_t kFrameTrailer[5] = {0, 0, 1, kNalAccessUnitDelimiter, 0x30};

bool OpensAccessUnit(uint8_t type, uint8_t secondByte) {
  if (IsSlice(type)) return (secondByte & 0x80) != 0;  // first_mb_in_slice 0: a lone 1 bit
  return type == kNalSei || type == kNalSps || type == kNalPps || type == kNalAccessUnitDelimiter ||
         (type >= kNalPrefix && type <= kNalLastReserved);
}

}  // namespace h264

namespace {

using namespace h264;

const size_t kSpsSearchLimit = 64;
const uint32_t kMaxSpsId = 31;
const uint32_t kMaxPpsId = 255;
// A parameter set in fragments larger than this is not kept.
const size_t kMaxParameterSetSize = 4096;

// Offset of an SPS's body behind its start code and header byte, looked
// for in the first kSpsSearchLimit bytes; 0 when there is none.
size_t SpsStart(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < std::min(length, kSpsSearchLimit) && i + 3 < length; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 7) return i + 4;
  }
  return 0;
}

void SkipScalingList(CH264BitReader& reader, int size) {
  int last = 8;
  int next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      // delta_scale is meant to lie in -128..127; wider values still wrap.
      const int64_t sum = int64_t(last) + reader.ReadSe();
      next = static_cast<int>(((sum % 256) + 256) % 256);
    }
    if (next != 0) last = next;
    if (reader.Overrun()) return;
  }
}

// seq_parameter_set_id of an SPS unit (header byte included).
bool ReadSpsId(const uint8_t* unit, size_t length, uint32_t* id) {
  if (length < 2) return false;
  CH264BitReader reader(unit + 1, length - 1);
  reader.ReadBits(24);  // profile_idc, constraint flags, level_idc
  *id = reader.ReadUe();
  return !reader.Overrun() && *id <= kMaxSpsId;
}

// pic_parameter_set_id and seq_parameter_set_id of a PPS unit.
bool ReadPpsIds(const uint8_t* unit, size_t length, uint32_t* ppsId, uint32_t* spsId) {
  if (length < 2) return false;
  CH264BitReader reader(unit + 1, length - 1);
  *ppsId = reader.ReadUe();
  *spsId = reader.ReadUe();
  return !reader.Overrun() && *ppsId <= kMaxPpsId && *spsId <= kMaxSpsId;
}

}  // namespace

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* owner)
    : CRTPMediaParser(owner, "telvora::CH264RTPMediaParser::ProcessFrame"),
      m_waiting(true),
      m_reportedInterleaved(false),
      m_interleaved(false),
      m_fragmentMode(kFragmentAppend),
      m_reportedWidth(0),
      m_reportedHeight(0) {}

CH264RTPMediaParser::~CH264RTPMediaParser() {}

void CH264RTPMediaParser::Reset() {
  m_waiting = true;
  m_width = 0;
  m_height = 0;
  m_framePicture = false;
  m_fragmentMode = kFragmentAppend;
  m_fragmentedSet.clear();
  ClearFrame();
}

void CH264RTPMediaParser::SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) {
  m_announcedWidth = parameters.width;
  m_announcedHeight = parameters.height;
  m_interleaved = parameters.packetizationMode == 2;
  if (m_interleaved) ReportInterleaved();
  // Descriptions list the sets in either order.
  const std::vector<uint8_t>* sps = nullptr;
  const std::vector<uint8_t>* pps = nullptr;
  for (const std::vector<uint8_t>* set : {&parameters.parameterSet1, &parameters.parameterSet2}) {
    if (set->empty()) continue;
    if (NalTypeOf((*set)[0]) == kNalSps && sps == nullptr) sps = set;
    if (NalTypeOf((*set)[0]) == kNalPps && pps == nullptr) pps = set;
  }
  if (sps == nullptr || pps == nullptr) return;
  try {
    std::vector<uint8_t> scratch(kStartCode, kStartCode + 3);
    scratch.insert(scratch.end(), sps->begin(), sps->end());
    uint32_t width = 0;
    uint32_t height = 0;
    if (!ParseSps(scratch.data(), scratch.size(), &width, &height)) return;
    m_width = width & 0xFFFFu;
    m_height = height & 0xFFFFu;
    StoreParameterSet(sps->data(), sps->size());
    StoreParameterSet(pps->data(), pps->size());
  } catch (...) {
  }
}

PacketResult CH264RTPMediaParser::Depacketize(const CRTPPacket& packet) {
  const uint8_t* payload = packet.GetPayload();
  const size_t length = payload != nullptr ? packet.GetPayloadLength() : 0;
  bool accepted = false;
  if (length > 0 && !m_interleaved) {
    switch (NalTypeOf(payload[0])) {
      case kNalStapA:
        accepted = HandleStapA(payload, length);
        break;
      case kNalFuA:
        accepted = HandleFuA(payload, length);
        break;
      case kNalStapB:
      case kNalMtap16:
      case kNalMtap24:
      case kNalFuB:
        ReportInterleaved();
        break;
      case 0:
      case 30:
      case 31:
        break;
      default:
        accepted = length >= 2;
        if (accepted) HandleNalUnit(payload, length);
        break;
    }
  }
  if (accepted) return PacketResult::kNeedMore;
  Reset();
  return PacketResult::kInvalid;
}

bool CH264RTPMediaParser::StartsNewFrame(const CRTPPacket& packet) const {
  const uint8_t* p = packet.GetPayload();
  const size_t n = p != nullptr ? packet.GetPayloadLength() : 0;
  if (n < 2) return false;
  switch (NalTypeOf(p[0])) {
    case kNalStapA:
      // The first aggregated unit decides.
      return n >= 5 && ReadBigEndian16(p + 1) >= 2 && OpensAccessUnit(NalTypeOf(p[3]), p[4]);
    case kNalFuA:
      return (p[1] & 0x80) != 0 && n >= 3 && OpensAccessUnit(NalTypeOf(p[1]), p[2]);
    default:
      return OpensAccessUnit(NalTypeOf(p[0]), p[1]);
  }
}

bool CH264RTPMediaParser::HandleStapA(const uint8_t* payload, size_t length) {
  if (length < 4) return false;
  const uint8_t* p = payload + 1;
  size_t remaining = length - 1;
  // Each unit's 2-byte size becomes a 3-byte start code, so the units add
  // at most half as much again as they take from the packet. At the first
  // small unit that room is taken once, and the small units that need
  // nothing but their start code are copied straight into it; the others
  // are kept in the packet.
  uint8_t* out = nullptr;
  bool valid = true;
  while (remaining > 1) {
    const size_t size = ReadBigEndian16(p);
    p += 2;
    remaining -= 2;
    if (size > remaining) {
      valid = false;
      break;
    }
    if (remaining == 0) break;
    // A zero-size unit carries nothing; skipping it keeps an empty start
    // code out of the frame.
    if (size > 0) {
      const uint8_t type = NalTypeOf(p[0]);
      const bool copied = size < CFrameAssembly::kMinReferred && type != kNalIdrSlice &&
                          (type < kNalSei || type > kNalAccessUnitDelimiter);
      if (copied && out == nullptr) out = Reserve(remaining + remaining / 2);
      if (copied && out != nullptr) {
        if (IsSlice(type)) m_framePicture = true;
        out[0] = 0;
        out[1] = 0;
        out[2] = 1;
        std::memcpy(out + 3, p, size);
        out += size + 3;
      } else {
        if (out != nullptr) Commit(out);
        out = nullptr;
        HandleNalUnit(p, size);
      }
    }
    p += size;
    remaining -= size;
  }
  if (out != nullptr) Commit(out);
  return valid;
}

bool CH264RTPMediaParser::HandleFuA(const uint8_t* payload, size_t length) {
  if (length < 2) return false;
  const uint8_t indicator = payload[0];
  const uint8_t header = payload[1];
  const uint8_t nalHeader = static_cast<uint8_t>((indicator & 0xE0) | (header & 0x1F));
  const uint8_t type = NalTypeOf(header);
  const bool start = (header & 0x80) != 0;
  const bool end = (header & 0x40) != 0;
  const uint8_t* data = payload + 2;
  const size_t size = length - 2;
  if (start) {
    m_fragmentMode = kFragmentAppend;
    if (type == kNalSei || type == kNalAccessUnitDelimiter) {
      // Dropped like their unfragmented form, so that an IDR slice after
      // them still gets its parameter sets.
      m_fragmentMode = end ? kFragmentAppend : kFragmentSkip;
      return true;
    }
    if (type == kNalSps || type == kNalPps) {
      m_fragmentedSet.assign(1, nalHeader);
      m_fragmentMode = kFragmentKeep;
    } else if (IsSlice(type)) {
      BeginSlice(type, data, size);
    } else if (nalHeader != 0) {
      AppendStartCode();
      Append(nalHeader);
    }
  }
  switch (m_fragmentMode) {
    case kFragmentSkip:
      break;
    case kFragmentKeep:
      if (m_fragmentedSet.size() + size <= kMaxParameterSetSize) {
        m_fragmentedSet.insert(m_fragmentedSet.end(), data, data + size);
      } else {
        m_fragmentedSet.clear();
        m_fragmentMode = kFragmentSkip;
      }
      if (end && !m_fragmentedSet.empty()) StoreParameterSet(m_fragmentedSet.data(), m_fragmentedSet.size());
      break;
    case kFragmentAppend:
      // Fragments are appended whether or not their start was seen; a lost
      // start is a sequence gap, which drops the frame anyway.
      if (start && IsSlice(type)) {
        Append(nalHeader);
      }
      Refer(data, size);
      break;
  }
  if (end) m_fragmentMode = kFragmentAppend;
  return true;
}

void CH264RTPMediaParser::HandleNalUnit(const uint8_t* unit, size_t length) {
  const uint8_t type = NalTypeOf(unit[0]);
  switch (type) {
    case kNalSei:
    case kNalAccessUnitDelimiter:
      return;
    case kNalSps:
    case kNalPps:
      StoreParameterSet(unit, length);
      return;
    default:
      break;
  }
  if (IsSlice(type)) {
    if (type == kNalIdrSlice) {
      BeginSlice(type, unit + 1, length - 1);
    } else {
      m_framePicture = true;
      AppendStartCode();
    }
  } else {
    AppendStartCode();
  }
  Refer(unit, length);
}

void CH264RTPMediaParser::BeginSlice(uint8_t type, const uint8_t* sliceData, size_t length) {
  // Only the first slice of a picture (first_mb_in_slice 0) gets the
  // parameter sets in front.
  if (type == kNalIdrSlice && !m_framePicture && length > 0 && (sliceData[0] & 0x80) != 0)
    InsertParameterSets(sliceData, length);
  m_framePicture = true;
  AppendStartCode();
}

void CH264RTPMediaParser::AppendUnit(const uint8_t* unit, size_t length) {
  AppendStartCode();
  Append(unit, length);
}

void CH264RTPMediaParser::StoreParameterSet(const uint8_t* unit, size_t length) {
  uint32_t id = 0;
  uint32_t spsId = 0;
  if (NalTypeOf(unit[0]) == kNalSps) {
    if (ReadSpsId(unit, length, &id)) m_spsById[id].assign(unit, unit + length);
  } else if (ReadPpsIds(unit, length, &id, &spsId)) {
    m_ppsById[id].assign(unit, unit + length);
  }
}

void CH264RTPMediaParser::InsertParameterSets(const uint8_t* sliceData, size_t length) {
  if (m_spsById.empty() || m_ppsById.empty()) return;
  // The slice names its PPS, the PPS its SPS; sets not seen fall back to
  // the lowest ids.
  CH264BitReader reader(sliceData, length);
  reader.ReadUe();  // first_mb_in_slice
  reader.ReadUe();  // slice_type
  const uint32_t ppsId = reader.ReadUe();
  auto pps = m_ppsById.find(ppsId);
  if (reader.Overrun() || pps == m_ppsById.end()) pps = m_ppsById.begin();
  uint32_t unused = 0;
  uint32_t spsId = 0;
  auto sps = m_spsById.end();
  if (ReadPpsIds(pps->second.data(), pps->second.size(), &unused, &spsId)) sps = m_spsById.find(spsId);
  if (sps == m_spsById.end()) sps = m_spsById.begin();
  AppendUnit(sps->second.data(), sps->second.size());
  AppendUnit(pps->second.data(), pps->second.size());
}

void CH264RTPMediaParser::ReportInterleaved() {
  if (m_reportedInterleaved || m_owner == nullptr) return;
  m_reportedInterleaved = true;
  m_owner->Log(1, "%s: Device %s sends H.264 in the interleaved packetization mode, which is not supported; no frame can be received",
               "telvora::CH264RTPMediaParser::ReportInterleaved", m_owner->GetDeviceText().c_str());
}

bool CH264RTPMediaParser::FinishFrame(uint32_t* formatCode) {
  m_framePicture = false;
  if (m_frame.empty()) return false;
  // Past the limit: a frame at the limit still gets its delimiter.
  m_frame.Append(kFrameTrailer, sizeof(kFrameTrailer));
  uint32_t width = 0;
  uint32_t height = 0;
  if (FindSps(&width, &height)) {
    m_width = width & 0xFFFFu;
    m_height = height & 0xFFFFu;
    *formatCode = kFormatH264;
    m_waiting = false;
    if ((m_reportedWidth != 0 || m_reportedHeight != 0) && (m_width != m_reportedWidth || m_height != m_reportedHeight) &&
        m_owner != nullptr) {
      m_owner->Log(3, "%s: The picture size of device %s changed from %ux%u to %ux%u",
                   "telvora::CH264RTPMediaParser::FinishFrame", m_owner->GetDeviceText().c_str(), m_reportedWidth,
                   m_reportedHeight, m_width, m_height);
    }
    m_reportedWidth = m_width;
    m_reportedHeight = m_height;
    return true;
  }
  if (m_waiting) return false;
  *formatCode = kFormatI264;
  return true;
}

bool CH264RTPMediaParser::FindSps(uint32_t* width, uint32_t* height) {
  // A frame's SPS is one this depacketizer put in front of its first slice,
  // so only the head of the frame is read in one piece.
  const size_t size = m_frame.size();
  const size_t head = std::min(size, kSpsSearchLimit + 3);
  const size_t start = SpsStart(m_frame.Front(head), head);
  if (start == 0) return false;
  const size_t length = std::min(size, start + kMaxParameterSetSize);
  return ParseSps(m_frame.Front(length), length, width, height);
}

bool CH264RTPMediaParser::ParseSps(const uint8_t* data, size_t length, uint32_t* width, uint32_t* height) {
  if (data == nullptr || width == nullptr || height == nullptr) return false;
  const size_t start = SpsStart(data, length);
  if (start == 0) return false;

  CH264BitReader reader(data + start, length - start);
  const uint32_t profileIdc = reader.ReadBits(8);
  reader.ReadBits(4);  // constraint_set0..3
  reader.ReadBits(4);
  reader.ReadBits(8);  // level_idc
  reader.ReadUe();     // seq_parameter_set_id

  uint32_t chromaFormatIdc = 1;
  bool separateColourPlanes = false;
  if (profileIdc >= 100) {
    chromaFormatIdc = reader.ReadUe();
    if (chromaFormatIdc == 3) separateColourPlanes = reader.ReadBit() != 0;
    reader.ReadUe();   // bit_depth_luma_minus8
    reader.ReadUe();   // bit_depth_chroma_minus8
    reader.ReadBit();  // qpprime_y_zero_transform_bypass_flag
    if (reader.ReadBit()) {
      // 4:4:4 carries six 8x8 lists instead of two.
      const int lists = chromaFormatIdc == 3 ? 12 : 8;
      for (int i = 0; i < lists && !reader.Overrun(); ++i) {
        if (reader.ReadBit()) SkipScalingList(reader, i < 6 ? 16 : 64);
      }
    }
  }

  reader.ReadUe();  // log2_max_frame_num_minus4
  const uint32_t pocType = reader.ReadUe();
  if (pocType == 0) {
    reader.ReadUe();
  } else if (pocType == 1) {
    reader.ReadBit();
    reader.ReadSe();
    reader.ReadSe();
    const uint32_t cycle = reader.ReadUe();
    // Stops at the end of the data rather than counting out a huge cycle.
    for (uint32_t i = 0; i < cycle && !reader.Overrun(); ++i) reader.ReadSe();
  }

  reader.ReadUe();   // max_num_ref_frames
  reader.ReadBit();  // gaps_in_frame_num_value_allowed_flag
  const uint64_t widthInMbs = uint64_t(reader.ReadUe()) + 1;
  const uint64_t heightInMapUnits = uint64_t(reader.ReadUe()) + 1;
  const uint32_t frameMbsOnly = reader.ReadBit();
  if (!frameMbsOnly) reader.ReadBit();  // mb_adaptive_frame_field_flag
  reader.ReadBit();                     // direct_8x8_inference_flag

  int64_t w = int64_t(widthInMbs * 16);
  int64_t h = int64_t(heightInMapUnits * 16 * (2 - frameMbsOnly));
  if (reader.ReadBit()) {
    const uint64_t left = reader.ReadUe();
    const uint64_t right = reader.ReadUe();
    const uint64_t top = reader.ReadUe();
    const uint64_t bottom = reader.ReadUe();
    // Crop units follow the chroma subsampling: 2x2 for 4:2:0, 2x1 for
    // 4:2:2, 1x1 for 4:4:4 and monochrome.
    const bool noChroma = chromaFormatIdc == 0 || separateColourPlanes;
    const int64_t unitX = (noChroma || chromaFormatIdc == 3) ? 1 : 2;
    const int64_t unitY = ((noChroma || chromaFormatIdc != 1) ? 1 : 2) * (2 - int64_t(frameMbsOnly));
    w -= unitX * int64_t(left + right);
    h -= unitY * int64_t(top + bottom);
  }
  if (reader.Overrun() || w <= 0 || h <= 0 || w > 0xFFFFFFFFll || h > 0xFFFFFFFFll) return false;
  *width = static_cast<uint32_t>(w);
  *height = static_cast<uint32_t>(h);
  return true;
}

}  // namespace telvora
