#include "media/jpeg_rtp_media_parser.h"

#include <algorithm>
#include <cstring>

#include "media/jpeg_tables.h"
#include "media/media_format.h"

namespace telvora {
namespace {

const size_t kMainHeaderSize = 8;
const size_t kRestartHeaderSize = 4;
const size_t kQuantHeaderSize = 4;
const uint16_t kProfileFrameStart = 0xFFD8;
const uint16_t kProfileContinuation = 0xFFFF;

uint32_t Read24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// 0 stands for 2048 pixels.
uint16_t Dimension(uint8_t units) { return units == 0 ? 2048 : static_cast<uint16_t>(units * 8); }

class Writer {
 public:
  explicit Writer(uint8_t* out) : m_out(out) {}
  void Byte(uint8_t b) { m_out[m_pos++] = b; }
  void Word(uint16_t w) {
    Byte(static_cast<uint8_t>(w >> 8));
    Byte(static_cast<uint8_t>(w));
  }
  void Bytes(const uint8_t* p, size_t n) {
    std::memcpy(m_out + m_pos, p, n);
    m_pos += n;
  }
  size_t Position() const { return m_pos; }

 private:
  uint8_t* m_out;
  size_t m_pos = 0;
};

void WriteHuffmanTable(Writer& w, uint8_t classAndId, const uint8_t counts[16], const uint8_t* values, size_t n) {
  w.Word(0xFFC4);
  w.Word(static_cast<uint16_t>(19 + n));
  w.Byte(classAndId);
  w.Bytes(counts, 16);
  w.Bytes(values, n);
}

void WriteQuantSegment(Writer& w, uint8_t tableId, const uint8_t* table, size_t n) {
  w.Word(0xFFDB);
  w.Word(static_cast<uint16_t>(n + 3));
  w.Byte(tableId);
  w.Bytes(table, n);
}

}  // namespace

CJpegRTPMediaParser::CJpegRTPMediaParser(IDriver* owner)
    : CRTPMediaParser(owner), m_waiting(true), m_payloadHeaderSize(kMainHeaderSize) {}

CJpegRTPMediaParser::~CJpegRTPMediaParser() {}

void CJpegRTPMediaParser::Reset() {
  m_waiting = true;
  m_width = 0;
  m_height = 0;
  m_frameBuffer.clear();
}

void CJpegRTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
  try {
    if (!CheckSequence(packet)) Reset();
    const bool hasExtension = packet.GetExtensionLength() != 0;
    // A packet that opens a frame by extension and also carries scan data
    // gets its extension first, so that the data follow the marker segments
    // as they would from two packets.
    const bool extensionFirst = hasExtension && packet.GetExtensionProfile() == kProfileFrameStart;
    bool accepted = false;
    if (extensionFirst)
      accepted = HandleExtension(packet.GetExtensionProfile(), packet.GetExtensionData(), packet.GetExtensionLength());
    if (packet.GetPayloadLength() != 0 && packet.GetPayload() != nullptr)
      accepted = HandlePayload(packet.GetPayload(), packet.GetPayloadLength()) || accepted;
    if (hasExtension && !extensionFirst)
      accepted =
          HandleExtension(packet.GetExtensionProfile(), packet.GetExtensionData(), packet.GetExtensionLength()) ||
          accepted;
    if (accepted && !m_frameBuffer.empty() && packet.GetMarker()) {
      ProcessFrame(packet.GetTimestamp());
      Reset();  // every frame needs a new start
    }
  } catch (...) {
    Reset();
  }
}

bool CJpegRTPMediaParser::HandlePayload(const uint8_t* p, size_t n) {
  if (n < 4) return false;
  const uint32_t offset = Read24(p + 1);
  if (offset == 0) {
    if (n > 11) m_payloadHeaderSize = (p[4] >= 64 && p[4] <= 127) ? 12 : 8;
    m_frameBuffer.insert(m_frameBuffer.end(), p, p + n);
    m_waiting = false;
  } else {
    if (m_waiting) {
      Reset();
      return false;
    }
    // Continuation data go in arrival order; the offset is not used to
    // place them.
    if (n > m_payloadHeaderSize) m_frameBuffer.insert(m_frameBuffer.end(), p + m_payloadHeaderSize, p + n);
  }
  if (!CheckBufferSize()) {
    Reset();
    return false;
  }
  return true;
}

bool CJpegRTPMediaParser::HandleExtension(uint16_t profile, const uint8_t* data, size_t words) {
  if (data == nullptr || words == 0) return false;
  const size_t bytes = words * 4;
  if (profile == kProfileFrameStart) {
    m_frameBuffer.clear();
    m_waiting = false;
    m_frameBuffer.push_back(0xFF);
    m_frameBuffer.push_back(0xD8);
    m_frameBuffer.insert(m_frameBuffer.end(), data, data + bytes);
  } else if (profile == kProfileContinuation) {
    if (m_waiting) {
      Reset();
      return false;
    }
    m_frameBuffer.insert(m_frameBuffer.end(), data, data + bytes);
  }
  if (m_waiting) {
    Reset();
    return false;
  }
  if (!CheckBufferSize()) {
    Reset();
    return false;
  }
  return true;
}

void CJpegRTPMediaParser::ProcessFrame(uint32_t rtpTimestamp) {
  if (!BuildJpegFrame()) return;
  if (m_client == nullptr) return;
  const uint32_t size = static_cast<uint32_t>(m_frameBuffer.size());
  IFrameAllocator* allocator = m_owner != nullptr ? m_owner->GetFrameAllocator() : nullptr;
  IVideoFrame* frame = nullptr;
  if (allocator != nullptr) frame = allocator->CreateFrame(kFormatJpeg, size, m_client->GetDriverName().c_str());
  if (frame == nullptr) {
    if (m_owner != nullptr)
      m_owner->Log(1, "%s: Frame allocation error, device %s", "telvora::CJpegRTPMediaParser::ProcessFrame",
                   m_owner->GetDeviceText().c_str());
    return;
  }
  try {
    if (CopyToFrame(frame)) {
      SYSTEMTIME time{};
      m_client->ConvertTimestamp(rtpTimestamp, &time);
      frame->SetDataSize(size);
      frame->SetWidth(m_width);
      frame->SetHeight(m_height);
      frame->SetResolutionClass(GetResolutionClass(m_width, m_height));
      frame->SetTime(&time);
      if (!m_client->DeliverFrame(frame)) Reset();
    }
  } catch (...) {
    Reset();
  }
  ReleaseHostFrame(allocator, frame);
}

bool CJpegRTPMediaParser::BuildJpegFrame() {
  try {
    if (m_frameBuffer.size() <= 8) {
      m_frameBuffer.clear();
      return false;
    }
    if (m_frameBuffer[0] == 0xFF && m_frameBuffer[1] == 0xD8) {
      FindFrameSize();
    } else if (!BuildRfc2435Frame()) {
      m_frameBuffer.clear();
      return false;
    }
    AddEndOfImage();
    return true;
  } catch (...) {
    m_frameBuffer.clear();
    return false;
  }
}

void CJpegRTPMediaParser::FindFrameSize() {
  const uint8_t* b = m_frameBuffer.data();
  const size_t n = m_frameBuffer.size();
  // The caller guarantees n > 8, so n - 9 does not wrap.
  for (size_t i = 0; i < n - 9; ++i) {
    if (b[i] == 0xFF && b[i + 1] == 0xC0) {
      m_height = Read16(b + i + 5);
      m_width = Read16(b + i + 7);
      return;
    }
  }
}

bool CJpegRTPMediaParser::BuildRfc2435Frame() {
  m_width = Dimension(m_frameBuffer[6]);
  m_height = Dimension(m_frameBuffer[7]);
  uint8_t header[kHeaderAreaSize];
  size_t headerLength = 0;
  size_t consumed = 0;
  if (!PrepareJpegHeader(m_frameBuffer.data(), m_frameBuffer.size(), header, &headerLength, &consumed)) return false;
  // Replace the consumed bytes by the header with a single move of the data.
  if (headerLength > consumed) {
    m_frameBuffer.insert(m_frameBuffer.begin(), headerLength - consumed, 0);
  } else if (consumed > headerLength) {
    m_frameBuffer.erase(m_frameBuffer.begin(), m_frameBuffer.begin() + std::ptrdiff_t(consumed - headerLength));
  }
  if (headerLength != 0) std::memcpy(m_frameBuffer.data(), header, headerLength);
  return true;
}

void CJpegRTPMediaParser::AddEndOfImage() {
  const uint8_t* b = m_frameBuffer.data();
  const size_t n = m_frameBuffer.size();
  for (size_t i = n; i-- > 0;) {
    if (b[i] == 0xFF) {
      if (i + 1 < n && b[i + 1] == 0xD9) return;
      break;
    }
  }
  m_frameBuffer.push_back(0xFF);
  m_frameBuffer.push_back(0xD9);
}

bool CJpegRTPMediaParser::PrepareJpegHeader(const uint8_t* data, size_t length, uint8_t* out, size_t* headerLength,
                                            size_t* consumed) {
  if (data == nullptr || out == nullptr || headerLength == nullptr || consumed == nullptr) return false;
  *headerLength = 0;
  *consumed = 0;
  if (length < kMainHeaderSize) return false;
  size_t used = kMainHeaderSize;
  const uint32_t offset = Read24(data + 1);
  const uint8_t type = data[4];
  const uint8_t q = data[5];
  const uint16_t width = Dimension(data[6]);
  const uint16_t height = Dimension(data[7]);

  uint16_t restartInterval = 0;
  if (type >= 64) {
    if (length < used + kRestartHeaderSize) return false;
    restartInterval = Read16(data + used);
    used += kRestartHeaderSize;
  }
  if (offset != 0) {
    *consumed = used;
    return true;
  }

  uint8_t scaled[128];
  const uint8_t* tables = scaled;
  size_t tableLength = sizeof(scaled);
  if (q < 128) {
    ScaleQuantTables(q, scaled);
  } else {
    if (length < used + kQuantHeaderSize) return false;
    const uint8_t mbz = data[used];
    const uint16_t inBand = Read16(data + used + 2);
    if (mbz != 0) {
      ScaleQuantTables(q, scaled);
    } else {
      used += kQuantHeaderSize;
      if (length - used < inBand) return false;
      if (inBand == 0) {
        ScaleQuantTables(q, scaled);
      } else {
        tables = data + used;
        tableLength = inBand;
        used += inBand;
      }
    }
  }

  const size_t size = JpegHeaderLength(tableLength, restartInterval);
  if (size > kHeaderAreaSize) return false;
  const size_t written = BuildJpegHeader(out, kHeaderAreaSize, type, width, height, tables, tableLength, restartInterval);
  if (written != size) return false;
  *headerLength = written;
  *consumed = used;
  return true;
}

size_t CJpegRTPMediaParser::JpegHeaderLength(size_t tableLength, uint16_t restartInterval) {
  size_t size = 20;                   // SOI, APP0
  if (restartInterval != 0) size += 6;  // DRI
  size += tableLength <= 64 ? tableLength + 5 : tableLength + 10;
  size += 19;   // SOF0
  size += 432;  // four DHT segments
  size += 14;   // SOS
  return size;
}

size_t CJpegRTPMediaParser::BuildJpegHeader(uint8_t* out, size_t capacity, uint8_t type, uint16_t width,
                                            uint16_t height, const uint8_t* tables, size_t tableLength,
                                            uint16_t restartInterval) {
  if (out == nullptr || (tables == nullptr && tableLength != 0)) return 0;
  // Segment lengths are 16 bits; the length check also keeps every write
  // below inside the area.
  if (tableLength > 0xFFF0 || JpegHeaderLength(tableLength, restartInterval) > capacity) return 0;
  Writer w(out);

  static const uint8_t kApp0[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                                  0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  w.Bytes(kApp0, sizeof(kApp0));

  if (restartInterval != 0) {
    w.Word(0xFFDD);
    w.Word(4);
    w.Word(restartInterval);
  }

  const bool twoTables = tableLength > 64;
  if (twoTables) {
    const size_t first = tableLength / 2;
    WriteQuantSegment(w, 0, tables, first);
    WriteQuantSegment(w, 1, tables + first, tableLength - first);
  } else {
    WriteQuantSegment(w, 0, tables, tableLength);
  }

  const uint8_t chromaTable = twoTables ? 1 : 0;
  w.Word(0xFFC0);
  w.Word(17);
  w.Byte(8);
  w.Word(height);
  w.Word(width);
  w.Byte(3);
  w.Byte(1);
  w.Byte((type & 1) ? 0x22 : 0x21);
  w.Byte(0);
  w.Byte(2);
  w.Byte(0x11);
  w.Byte(chromaTable);
  w.Byte(3);
  w.Byte(0x11);
  w.Byte(chromaTable);

  WriteHuffmanTable(w, 0x00, jpeg::kLuminanceDcCounts, jpeg::kLuminanceDcValues, sizeof(jpeg::kLuminanceDcValues));
  WriteHuffmanTable(w, 0x10, jpeg::kLuminanceAcCounts, jpeg::kLuminanceAcValues, sizeof(jpeg::kLuminanceAcValues));
  WriteHuffmanTable(w, 0x01, jpeg::kChrominanceDcCounts, jpeg::kChrominanceDcValues,
                    sizeof(jpeg::kChrominanceDcValues));
  WriteHuffmanTable(w, 0x11, jpeg::kChrominanceAcCounts, jpeg::kChrominanceAcValues,
                    sizeof(jpeg::kChrominanceAcValues));

  static const uint8_t kSos[] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02,
                                 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
  w.Bytes(kSos, sizeof(kSos));
  return w.Position();
}

void CJpegRTPMediaParser::ScaleQuantTables(uint8_t q, uint8_t out[128]) {
  const int factor = std::min(99, std::max(1, int(q)));
  const int scale = q < 50 ? 5000 / factor : 200 - 2 * factor;
  for (int i = 0; i < 128; ++i) {
    const int base = i < 64 ? jpeg::kLuminanceQuant[i] : jpeg::kChrominanceQuant[i - 64];
    const int value = (base * scale + 50) / 100;
    out[i] = static_cast<uint8_t>(std::min(255, std::max(1, value)));
  }
}

}  // namespace telvora
