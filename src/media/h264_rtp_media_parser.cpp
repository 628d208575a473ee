#include "media/h264_rtp_media_parser.h"

#include <algorithm>

#include "media/h264_bit_reader.h"
#include "media/media_format.h"

namespace telvora {
namespace {

const uint8_t kStartCode[3] = {0, 0, 1};
const uint8_t kTrailer[5] = {0, 0, 1, 0x09, 0x30};  // access unit delimiter
const size_t kSpsSearchLimit = 64;

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

}  // namespace

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* owner) : CRTPMediaParser(owner), m_waiting(true) {}

CH264RTPMediaParser::~CH264RTPMediaParser() {}

void CH264RTPMediaParser::Reset() {
  m_waiting = true;
  m_width = 0;
  m_height = 0;
  m_frameBuffer.clear();
}

void CH264RTPMediaParser::SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) {
  if (parameters.parameterSet1.empty() || parameters.parameterSet2.empty()) return;
  try {
    std::vector<uint8_t> scratch;
    scratch.reserve(parameters.parameterSet1.size() + parameters.parameterSet2.size() + 6);
    scratch.insert(scratch.end(), kStartCode, kStartCode + 3);
    scratch.insert(scratch.end(), parameters.parameterSet1.begin(), parameters.parameterSet1.end());
    scratch.insert(scratch.end(), kStartCode, kStartCode + 3);
    scratch.insert(scratch.end(), parameters.parameterSet2.begin(), parameters.parameterSet2.end());
    uint32_t width = 0;
    uint32_t height = 0;
    if (!ParseSps(scratch.data(), scratch.size(), &width, &height)) return;
    m_width = width & 0xFFFFu;
    m_height = height & 0xFFFFu;
    m_sps = parameters.parameterSet1;
    m_pps = parameters.parameterSet2;
  } catch (...) {
  }
}

void CH264RTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
  try {
    if (!CheckSequence(packet)) Reset();
    if (!HandlePayload(packet.GetPayload(), packet.GetPayloadLength())) return;
    if (packet.GetMarker() && !m_frameBuffer.empty()) {
      ProcessFrame(packet.GetTimestamp());
      m_frameBuffer.clear();
    }
  } catch (...) {
    // Out of memory while growing the buffer: the packet is lost, and with
    // it the frame, which the next gap or refusal clears.
  }
}

bool CH264RTPMediaParser::HandlePayload(const uint8_t* payload, size_t length) {
  bool accepted = false;
  if (payload != nullptr && length > 0) {
    switch (payload[0] & 0x1F) {
      case 24:
        accepted = HandleStapA(payload, length);
        break;
      case 28:
        accepted = HandleFuA(payload, length);
        break;
      case 0:
      case 25:
      case 26:
      case 27:
      case 29:
      case 30:
      case 31:
        break;
      default:
        accepted = HandleSingleNal(payload, length);
        break;
    }
  }
  if (accepted && !CheckBufferSize()) accepted = false;
  if (!accepted) Reset();
  return accepted;
}

bool CH264RTPMediaParser::HandleSingleNal(const uint8_t* payload, size_t length) {
  if (length < 2) return false;
  HandleNalUnit(payload, length);
  return true;
}

bool CH264RTPMediaParser::HandleStapA(const uint8_t* payload, size_t length) {
  if (length < 4) return false;
  const uint8_t* p = payload + 1;
  size_t remaining = length - 1;
  while (remaining > 1) {
    const size_t size = (size_t(p[0]) << 8) | p[1];
    p += 2;
    remaining -= 2;
    if (size > remaining) return false;
    if (remaining == 0) break;
    // A zero-size unit carries nothing; skipping it keeps an empty start
    // code out of the frame.
    if (size > 0) HandleNalUnit(p, size);
    p += size;
    remaining -= size;
  }
  return true;
}

bool CH264RTPMediaParser::HandleFuA(const uint8_t* payload, size_t length) {
  if (length < 2) return false;
  const uint8_t indicator = payload[0];
  const uint8_t header = payload[1];
  const uint8_t nalHeader = static_cast<uint8_t>((indicator & 0xE0) | (header & 0x1F));
  if (header & 0x80) {
    // Only the first slice of a picture (first_mb_in_slice 0, a single 1
    // bit in exp-Golomb) gets the parameter sets in front.
    if ((nalHeader & 0x1F) == 5 && m_frameBuffer.empty() && length > 2 && (payload[2] & 0x80) != 0)
      InsertParameterSets();
    if (nalHeader != 0) {
      AppendStartCode();
      m_frameBuffer.push_back(nalHeader);
    }
  }
  if (length > 2) Append(payload + 2, length - 2);
  return true;
}

void CH264RTPMediaParser::HandleNalUnit(const uint8_t* unit, size_t length) {
  switch (unit[0] & 0x1F) {
    case 5:
      InsertParameterSets();
      break;
    case 6:
    case 9:
      return;
    case 7:
      m_sps.assign(unit, unit + length);
      return;
    case 8:
      m_pps.assign(unit, unit + length);
      return;
    default:
      break;
  }
  AppendStartCode();
  Append(unit, length);
}

void CH264RTPMediaParser::InsertParameterSets() {
  if (!m_frameBuffer.empty() || m_sps.empty() || m_pps.empty()) return;
  AppendStartCode();
  Append(m_sps.data(), m_sps.size());
  AppendStartCode();
  Append(m_pps.data(), m_pps.size());
}

void CH264RTPMediaParser::AppendStartCode() { m_frameBuffer.insert(m_frameBuffer.end(), kStartCode, kStartCode + 3); }

void CH264RTPMediaParser::Append(const uint8_t* data, size_t length) {
  m_frameBuffer.insert(m_frameBuffer.end(), data, data + length);
}

void CH264RTPMediaParser::ProcessFrame(uint32_t rtpTimestamp) {
  IFrameAllocator* allocator = m_owner != nullptr ? m_owner->GetFrameAllocator() : nullptr;
  if (allocator == nullptr || m_client == nullptr || m_frameBuffer.empty()) return;

  m_frameBuffer.insert(m_frameBuffer.end(), kTrailer, kTrailer + sizeof(kTrailer));
  const uint32_t size = static_cast<uint32_t>(m_frameBuffer.size());

  uint32_t code = kFormatI264;
  uint32_t width = 0;
  uint32_t height = 0;
  if (ParseSps(m_frameBuffer.data(), m_frameBuffer.size(), &width, &height)) {
    m_width = width & 0xFFFFu;
    m_height = height & 0xFFFFu;
    code = kFormatH264;
    m_waiting = false;
  } else if (m_waiting) {
    m_frameBuffer.clear();
    return;
  }

  IVideoFrame* frame = allocator->CreateFrame(code, size, m_client->GetDriverName().c_str());
  if (frame == nullptr) return;
  try {
    if (!CopyToFrame(frame)) {
      m_owner->Log(1, "%s: Data copying error, device %s", "telvora::CH264RTPMediaParser::ProcessFrame",
                   m_owner->GetDeviceText().c_str());
      Reset();
      ReleaseHostFrame(allocator, frame);
      return;
    }
    StampFrame(frame, code, rtpTimestamp, size);
    if (!m_client->DeliverFrame(frame)) Reset();
  } catch (...) {
    Reset();
  }
  ReleaseHostFrame(allocator, frame);
}

bool CH264RTPMediaParser::ParseSps(const uint8_t* data, size_t length, uint32_t* width, uint32_t* height) {
  if (data == nullptr || width == nullptr || height == nullptr) return false;
  const size_t limit = std::min(length, kSpsSearchLimit);
  size_t start = 0;
  bool found = false;
  for (size_t i = 0; i < limit && i + 3 < length; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 7) {
      start = i + 4;
      found = true;
      break;
    }
  }
  if (!found) return false;

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
