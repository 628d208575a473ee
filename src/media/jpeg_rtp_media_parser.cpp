#include "media/jpeg_rtp_media_parser.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "media/jpeg_tables.h"
#include "media/media_format.h"

namespace telvora {
namespace {

const size_t kMainHeaderSize = 8;
const size_t kRestartHeaderSize = 4;
const size_t kQuantHeaderSize = 4;
const uint16_t kProfileFrameStart = 0xFFD8;
const uint16_t kProfileContinuation = 0xFFFF;

// 0 stands for a size the field cannot hold: the announced one, else 2048.
uint16_t Dimension(uint8_t units, uint16_t announced = 0) {
  if (units != 0) return static_cast<uint16_t>(units * 8);
  return announced != 0 ? announced : 2048;
}

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
    : CRTPMediaParser(owner, "telvora::CJpegRTPMediaParser::ProcessFrame"),
      m_waiting(true),
      m_payloadHeaderSize(kMainHeaderSize) {}

CJpegRTPMediaParser::~CJpegRTPMediaParser() {}

void CJpegRTPMediaParser::Reset() {
  m_waiting = true;
  m_width = 0;
  m_height = 0;
  ClearFrame();
}

void CJpegRTPMediaParser::SetStreamParameters(const MEDIA_STREAM_PARAMETERS& parameters) {
  CRTPMediaParser::SetStreamParameters(parameters);
  m_state.announcedWidth = static_cast<uint16_t>(std::min<uint32_t>(parameters.width, 0xFFFF));
  m_state.announcedHeight = static_cast<uint16_t>(std::min<uint32_t>(parameters.height, 0xFFFF));
}

bool CJpegRTPMediaParser::StartsNewFrame(const CRTPPacket& packet) const {
  if (packet.GetExtensionLength() != 0 && packet.GetExtensionProfile() == kProfileFrameStart) return true;
  const uint8_t* p = packet.GetPayload();
  return p != nullptr && packet.GetPayloadLength() >= 4 && ReadBigEndian24(p + 1) == 0;
}

PacketResult CJpegRTPMediaParser::Depacketize(const CRTPPacket& packet) {
  const bool hasExtension = packet.GetExtensionLength() != 0;
  // A packet that opens a frame by extension and also carries scan data
  // gets its extension first, so that the data follow the marker segments.
  const bool extensionFirst = hasExtension && packet.GetExtensionProfile() == kProfileFrameStart;
  bool opened = false;
  if (extensionFirst)
    opened = HandleExtension(packet.GetExtensionProfile(), packet.GetExtensionData(), packet.GetExtensionLength());
  bool accepted = opened;
  if (packet.GetPayloadLength() != 0 && packet.GetPayload() != nullptr)
    accepted = HandlePayload(packet.GetPayload(), packet.GetPayloadLength(), opened) || accepted;
  if (hasExtension && !extensionFirst)
    accepted =
        HandleExtension(packet.GetExtensionProfile(), packet.GetExtensionData(), packet.GetExtensionLength()) || accepted;
  m_framePicture = !m_frame.empty();
  return accepted ? PacketResult::kNeedMore : PacketResult::kDropped;
}

bool CJpegRTPMediaParser::HandlePayload(const uint8_t* p, size_t n, bool afterExtension) {
  if (n < 4) return false;
  const uint32_t offset = ReadBigEndian24(p + 1);
  if (offset == 0) {
    const uint8_t type = n > 4 ? p[4] : 0;
    if (n > 11) m_payloadHeaderSize = (type >= 64 && type < 128) ? 12 : 8;
    size_t headers = 0;
    const bool known = Rfc2435HeaderSize(p, n, &headers);
    if (afterExtension) {
      // The extension carried the image's own marker segments: only the
      // scan data follow them.
      if (!known) headers = std::min<size_t>(n, m_payloadHeaderSize);
      Refer(p + headers, n - headers);
    } else if (known && n >= headers + 2 && p[headers] == 0xFF && p[headers + 1] == 0xD8) {
      // A whole JFIF image behind the RFC 2435 headers.
      m_width = 0;
      m_height = 0;
      Refer(p + headers, n - headers);
    } else {
      Refer(p, n);
    }
    m_waiting = false;
  } else {
    if (m_waiting) {
      Reset();
      return false;
    }
    // Continuation data go in arrival order; the offset is not used to
    // place them.
    if (n > m_payloadHeaderSize) Refer(p + m_payloadHeaderSize, n - m_payloadHeaderSize);
  }
  return true;
}

bool CJpegRTPMediaParser::HandleExtension(uint16_t profile, const uint8_t* data, size_t words) {
  if (data == nullptr || words == 0) return false;
  const size_t bytes = words * 4;
  if (profile == kProfileFrameStart) {
    ClearFrame();
    m_waiting = false;
    m_width = 0;
    m_height = 0;
    const uint8_t soi[2] = {0xFF, 0xD8};
    Append(soi, 2);
    Append(data, bytes);
  } else if (profile == kProfileContinuation) {
    if (m_waiting) {
      Reset();
      return false;
    }
    Append(data, bytes);
  }
  if (m_waiting) {
    Reset();
    return false;
  }
  return true;
}

bool CJpegRTPMediaParser::FinishFrame(uint32_t* formatCode) {
  // Every image needs a new start.
  m_waiting = true;
  *formatCode = kFormatJpeg;
  return BuildJpegFrame();
}

bool CJpegRTPMediaParser::BuildJpegFrame() {
  try {
    if (m_frame.size() <= 8) {
      m_frame.clear();
      return false;
    }
    const uint8_t* head = m_frame.Front(2);
    if (head[0] == 0xFF && head[1] == 0xD8) {
      FindFrameSize();
    } else if (!BuildRfc2435Frame()) {
      m_frame.clear();
      return false;
    }
    AddEndOfImage();
    return true;
  } catch (...) {
    m_frame.clear();
    return false;
  }
}

void CJpegRTPMediaParser::FindFrameSize() {
  // The image's own segments may run far into the frame: read in one piece.
  const size_t n = m_frame.size();
  const uint8_t* b = m_frame.Front(n);
  m_width = 0;
  m_height = 0;
  // Segment by segment from SOI, as a quantization table may hold the bytes
  // of a SOF marker.
  size_t i = 2;
  while (i + 4 <= n && b[i] == 0xFF) {
    const uint8_t marker = b[i + 1];
    if (marker == 0xFF) {  // a fill byte
      ++i;
    } else if (marker == 0xC0 || marker == 0xC1) {
      if (i + 9 > n) return;
      m_height = ReadBigEndian16(b + i + 5);
      m_width = ReadBigEndian16(b + i + 7);
      return;
    } else if (marker == 0xDA) {
      return;  // the scan began without a SOF
    } else if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;  // a marker without a length
    } else {
      i += 2 + ReadBigEndian16(b + i + 2);
    }
  }
  // Segments that do not read: the first SOF marker anywhere will do. The
  // caller guarantees n > 8, so n - 9 does not wrap.
  for (i = 0; i < n - 9; ++i) {
    if (b[i] == 0xFF && (b[i + 1] == 0xC0 || b[i + 1] == 0xC1)) {
      m_height = ReadBigEndian16(b + i + 5);
      m_width = ReadBigEndian16(b + i + 7);
      return;
    }
  }
}

bool CJpegRTPMediaParser::BuildRfc2435Frame() {
  // Only the RFC 2435 headers at the front are read, in one piece.
  const size_t n = m_frame.size();
  const uint8_t* head = m_frame.Front(std::min(n, kMainHeaderSize + kRestartHeaderSize + kQuantHeaderSize));
  m_width = Dimension(head[6], m_state.announcedWidth);
  m_height = Dimension(head[7], m_state.announcedHeight);
  size_t headers = kMainHeaderSize;
  if (head[4] >= 64 && head[4] < 128) headers += kRestartHeaderSize;
  if (ReadBigEndian24(head + 1) == 0 && head[5] >= 128 && n >= headers + kQuantHeaderSize)
    headers += kQuantHeaderSize + ReadBigEndian16(head + headers + 2);
  const size_t length = std::min(n, headers);
  uint8_t header[kHeaderAreaSize];
  size_t headerLength = 0;
  size_t consumed = 0;
  if (!PrepareJpegHeader(m_frame.Front(length), length, header, &headerLength, &consumed, &m_state)) return false;
  m_frame.ReplaceFront(consumed, header, headerLength);
  return true;
}

void CJpegRTPMediaParser::AddEndOfImage() {
  const size_t n = m_frame.size();
  const size_t last = m_frame.FindLast(0xFF);
  if (last + 1 < n && m_frame.ByteAt(last + 1) == 0xD9) return;
  static const uint8_t kEndOfImage[2] = {0xFF, 0xD9};
  m_frame.Append(kEndOfImage, sizeof(kEndOfImage));
}

bool CJpegRTPMediaParser::Rfc2435HeaderSize(const uint8_t* data, size_t length, size_t* size) {
  if (data == nullptr || size == nullptr || length < kMainHeaderSize) return false;
  size_t used = kMainHeaderSize;
  const uint32_t offset = ReadBigEndian24(data + 1);
  const uint8_t type = data[4];
  const uint8_t q = data[5];
  if (type >= 64 && type < 128) used += kRestartHeaderSize;
  if (offset == 0 && q >= 128) {
    if (length < used + kQuantHeaderSize) return false;
    // A quantization table header with a non-zero MBZ byte is not read.
    if (data[used] == 0) used += kQuantHeaderSize + ReadBigEndian16(data + used + 2);
  }
  if (used > length) return false;
  *size = used;
  return true;
}

bool CJpegRTPMediaParser::PrepareJpegHeader(const uint8_t* data, size_t length, uint8_t* out, size_t* headerLength,
                                            size_t* consumed, JPEG_STREAM_STATE* state) {
  if (data == nullptr || out == nullptr || headerLength == nullptr || consumed == nullptr) return false;
  *headerLength = 0;
  *consumed = 0;
  if (length < kMainHeaderSize) return false;
  size_t used = kMainHeaderSize;
  const uint32_t offset = ReadBigEndian24(data + 1);
  const uint8_t type = data[4];
  const uint8_t q = data[5];
  const uint16_t width = Dimension(data[6], state != nullptr ? state->announcedWidth : 0);
  const uint16_t height = Dimension(data[7], state != nullptr ? state->announcedHeight : 0);

  // Types 128 and up are dynamic; like the types below 64 they carry no
  // restart marker header, in the first packet as in the others.
  uint16_t restartInterval = 0;
  if (type >= 64 && type < 128) {
    if (length < used + kRestartHeaderSize) return false;
    restartInterval = ReadBigEndian16(data + used);
    used += kRestartHeaderSize;
  }
  if (offset != 0) {
    *consumed = used;
    return true;
  }

  uint8_t scaled[128];
  const uint8_t* tables = scaled;
  size_t tableLength = sizeof(scaled);
  uint8_t precision = 0;
  if (q < 128) {
    ScaleQuantTables(q, scaled);
  } else {
    if (length < used + kQuantHeaderSize) return false;
    const uint8_t mbz = data[used];
    const uint16_t inBand = ReadBigEndian16(data + used + 2);
    JPEG_STREAM_STATE::TABLES* cached = (state != nullptr && q < 255) ? &state->tablesByQ[q - 128] : nullptr;
    if (mbz != 0) {
      ScaleQuantTables(q, scaled);
    } else {
      precision = data[used + 1];
      used += kQuantHeaderSize;
      if (length - used < inBand) return false;
      if (inBand != 0) {
        tables = data + used;
        tableLength = inBand;
        used += inBand;
        if (cached != nullptr) {
          cached->precision = precision;
          cached->bytes.assign(tables, tables + tableLength);
        }
      } else if (cached != nullptr && !cached->bytes.empty()) {
        // Q 128 to 254 with no tables: the ones last sent for this Q.
        tables = cached->bytes.data();
        tableLength = cached->bytes.size();
        precision = cached->precision;
      } else {
        ScaleQuantTables(q, scaled);
        precision = 0;
      }
    }
  }

  const size_t size = JpegHeaderLength(tableLength, restartInterval, precision);
  if (size > kHeaderAreaSize) return false;
  const size_t written =
      BuildJpegHeader(out, kHeaderAreaSize, type, width, height, tables, tableLength, restartInterval, precision);
  if (written != size) return false;
  *headerLength = written;
  *consumed = used;
  return true;
}

namespace {

// Bytes of the first table; the rest, if any, is the second.
size_t FirstTableLength(size_t tableLength, uint8_t precision) {
  if (precision == 0) return tableLength <= 64 ? tableLength : tableLength / 2;
  return std::min(tableLength, size_t((precision & 1) ? 128 : 64));
}

}  // namespace

size_t CJpegRTPMediaParser::JpegHeaderLength(size_t tableLength, uint16_t restartInterval, uint8_t precision) {
  size_t size = 20;                   // SOI, APP0
  if (restartInterval != 0) size += 6;  // DRI
  size += FirstTableLength(tableLength, precision) == tableLength ? tableLength + 5 : tableLength + 10;
  size += 19;   // SOF0
  size += 432;  // four DHT segments
  size += 14;   // SOS
  return size;
}

size_t CJpegRTPMediaParser::BuildJpegHeader(uint8_t* out, size_t capacity, uint8_t type, uint16_t width,
                                            uint16_t height, const uint8_t* tables, size_t tableLength,
                                            uint16_t restartInterval, uint8_t precision) {
  if (out == nullptr || (tables == nullptr && tableLength != 0)) return 0;
  // Segment lengths are 16 bits; the length check also keeps every write
  // below inside the area.
  if (tableLength > 0xFFF0 || JpegHeaderLength(tableLength, restartInterval, precision) > capacity) return 0;
  Writer w(out);

  static const uint8_t kApp0[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                                  0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  w.Bytes(kApp0, sizeof(kApp0));

  if (restartInterval != 0) {
    w.Word(0xFFDD);
    w.Word(4);
    w.Word(restartInterval);
  }

  const size_t first = FirstTableLength(tableLength, precision);
  const bool twoTables = first < tableLength;
  WriteQuantSegment(w, static_cast<uint8_t>((precision & 1) << 4), tables, first);
  if (twoTables) WriteQuantSegment(w, static_cast<uint8_t>(((precision & 2) << 3) | 1), tables + first, tableLength - first);

  const uint8_t chromaTable = twoTables ? 1 : 0;
  // 16-bit tables are outside the baseline process; SOF1 says so.
  w.Word((precision & 3) != 0 ? 0xFFC1 : 0xFFC0);
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
