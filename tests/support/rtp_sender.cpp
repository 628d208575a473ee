#include "support/rtp_sender.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/sockets.h"

namespace telvora {
namespace test {
namespace {

const uint8_t kStandardLuminance[64] = {
    16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,  26, 24,  22,  22,  24, 49,
    35, 37, 29, 40, 58, 51, 61, 60, 57, 51, 56, 55, 64, 72, 92, 78,  64, 68,  87,  69,  55, 56,
    80, 109, 81, 87, 95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
const uint8_t kStandardChrominance[64] = {17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99,
                                          99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                          99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                          99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}
void Put24(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x >> 16));
  Put16(v, x);
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, x >> 16);
  Put16(v, x);
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

bool IsVcl(uint8_t type) { return type >= 1 && type <= 5; }

// Positions of every 00 00 01 in the stream.
std::vector<size_t> FindStartCodes(const std::vector<uint8_t>& s) {
  std::vector<size_t> found;
  for (size_t i = 0; i + 2 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      found.push_back(i);
      i += 2;
    }
  }
  return found;
}

}  // namespace

std::vector<uint8_t> BuildRtpPacket(const RtpPacketFields& f, const uint8_t* payload, size_t length) {
  std::vector<uint8_t> out;
  out.reserve(12 + (f.hasExtension ? 4 + f.extension.size() : 0) + length);
  out.push_back(static_cast<uint8_t>(0x80 | (f.hasExtension ? 0x10 : 0)));
  out.push_back(static_cast<uint8_t>((f.marker ? 0x80 : 0) | (f.payloadType & 0x7F)));
  Put16(out, f.sequence);
  Put32(out, f.timestamp);
  Put32(out, f.ssrc);
  if (f.hasExtension) {
    Put16(out, f.extensionProfile);
    Put16(out, static_cast<uint32_t>(f.extension.size() / 4));
    out.insert(out.end(), f.extension.begin(), f.extension.end());
  }
  if (payload != nullptr) out.insert(out.end(), payload, payload + length);
  return out;
}

// ---- H.264 ----

std::vector<H264AccessUnit> SplitH264AccessUnits(const std::vector<uint8_t>& s) {
  std::vector<H264AccessUnit> units;
  const std::vector<size_t> codes = FindStartCodes(s);
  H264AccessUnit current;
  bool currentHasSlice = false;
  for (size_t k = 0; k < codes.size(); ++k) {
    size_t begin = codes[k] + 3;
    size_t end = k + 1 < codes.size() ? codes[k + 1] : s.size();
    while (end > begin && s[end - 1] == 0) --end;  // zero byte of a 4-byte start code
    if (end <= begin) continue;
    std::vector<uint8_t> nal(s.begin() + std::ptrdiff_t(begin), s.begin() + std::ptrdiff_t(end));
    const uint8_t type = nal[0] & 0x1F;
    bool startsNew = false;
    if (currentHasSlice) {
      if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) startsNew = true;
      if (IsVcl(type) && nal.size() > 1 && (nal[1] & 0x80) != 0) startsNew = true;
    }
    if (startsNew) {
      units.push_back(std::move(current));
      current = H264AccessUnit();
      currentHasSlice = false;
    }
    if (IsVcl(type)) currentHasSlice = true;
    if (type == 5) current.idr = true;
    current.nalUnits.push_back(std::move(nal));
  }
  if (!current.nalUnits.empty()) units.push_back(std::move(current));
  return units;
}

RtpSender::RtpSender(const RtpStreamSettings& settings)
    : m_settings(settings), m_sequence(settings.firstSequence), m_timestamp(settings.firstTimestamp) {}

RtpDatagram RtpSender::Make(const uint8_t* payload, size_t length, bool marker, size_t frameIndex) {
  RtpPacketFields f;
  f.payloadType = m_settings.payloadType;
  f.sequence = m_sequence;
  f.timestamp = m_timestamp;
  f.ssrc = m_settings.ssrc;
  f.marker = marker;
  RtpDatagram d;
  d.bytes = BuildRtpPacket(f, payload, length);
  d.frameIndex = frameIndex;
  d.marker = marker;
  d.sequence = m_sequence;
  ++m_sequence;
  return d;
}

std::vector<RtpDatagram> RtpSender::PacketizeH264(const std::vector<H264AccessUnit>& units,
                                                  const H264Options& options) {
  std::vector<RtpDatagram> out;
  const size_t limit = std::max<size_t>(m_settings.maxPayload, 16);
  for (size_t index = 0; index < units.size(); ++index) {
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<bool> endsSlice;  // per payload
    std::vector<const std::vector<uint8_t>*> pending;  // waiting for a STAP-A
    size_t pendingSize = 1;
    auto flush = [&]() {
      if (pending.size() == 1) {
        payloads.push_back(*pending[0]);
        endsSlice.push_back(IsVcl((*pending[0])[0] & 0x1F));
      } else if (pending.size() > 1) {
        std::vector<uint8_t> stap{static_cast<uint8_t>(((*pending[0])[0] & 0x60) | 24)};
        for (const auto* nal : pending) {
          Put16(stap, static_cast<uint32_t>(nal->size()));
          stap.insert(stap.end(), nal->begin(), nal->end());
        }
        payloads.push_back(std::move(stap));
        endsSlice.push_back(IsVcl((*pending.back())[0] & 0x1F));
      }
      pending.clear();
      pendingSize = 1;
    };
    for (const auto& nal : units[index].nalUnits) {
      const uint8_t type = nal[0] & 0x1F;
      if (options.dropParameterSets && (type == 7 || type == 8)) continue;
      const bool fragment = nal.size() > limit || (options.fragmentAll && IsVcl(type) && nal.size() > 1);
      if (fragment) {
        flush();
        const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
        size_t pos = 1;
        while (pos < nal.size()) {
          const size_t chunk = std::min(limit - 2, nal.size() - pos);
          uint8_t header = type;
          if (pos == 1) header |= 0x80;
          if (pos + chunk == nal.size()) header |= 0x40;
          std::vector<uint8_t> fu{indicator, header};
          fu.insert(fu.end(), nal.begin() + std::ptrdiff_t(pos), nal.begin() + std::ptrdiff_t(pos + chunk));
          payloads.push_back(std::move(fu));
          endsSlice.push_back(IsVcl(type) && pos + chunk == nal.size());
          pos += chunk;
        }
      } else if (options.aggregate) {
        if (pendingSize + 2 + nal.size() > limit) flush();
        pending.push_back(&nal);
        pendingSize += 2 + nal.size();
      } else {
        payloads.push_back(nal);
        endsSlice.push_back(IsVcl(type));
      }
    }
    flush();
    for (size_t k = 0; k < payloads.size(); ++k) {
      bool marker = k + 1 == payloads.size();
      if (options.markers == MarkerMode::kEverySlice) marker = marker || endsSlice[k];
      if (options.markers == MarkerMode::kNever) marker = false;
      out.push_back(Make(payloads[k], marker, index));
    }
    m_timestamp += m_settings.timestampStep;
  }
  return out;
}

// ---- JPEG ----

bool ParseJpegImage(const std::vector<uint8_t>& j, JpegImage* image, std::string* error) {
  auto fail = [&](const char* why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8) return fail("no SOI");
  JpegImage img;
  std::vector<uint8_t> tables[4];
  uint8_t componentTables[3] = {0, 0, 0};
  bool haveFrame = false;
  size_t pos = 2;
  while (pos + 4 <= j.size()) {
    if (j[pos] != 0xFF) return fail("marker expected");
    const uint8_t marker = j[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    const size_t length = Get16(&j[pos + 2]);
    if (length < 2 || pos + 2 + length > j.size()) return fail("segment runs past the end");
    const uint8_t* seg = &j[pos + 4];
    const size_t n = length - 2;
    if (marker == 0xDB) {
      for (size_t k = 0; k + 65 <= n; k += 65) {
        if ((seg[k] >> 4) != 0) return fail("16-bit quantization table");
        tables[seg[k] & 3].assign(seg + k + 1, seg + k + 65);
      }
    } else if (marker == 0xC0) {
      if (n < 15 || seg[0] != 8 || seg[5] != 3) return fail("not an 8-bit three-component frame");
      img.height = Get16(seg + 1);
      img.width = Get16(seg + 3);
      if (seg[7] == 0x22) {
        img.type = 1;
      } else if (seg[7] == 0x21) {
        img.type = 0;
      } else {
        return fail("unsupported sampling");
      }
      if (seg[10] != 0x11 || seg[13] != 0x11) return fail("unsupported chroma sampling");
      componentTables[0] = seg[8];
      componentTables[1] = seg[11];
      componentTables[2] = seg[14];
      haveFrame = true;
    } else if ((marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)) {
      return fail("not baseline");
    } else if (marker == 0xDD) {
      if (n < 2) return fail("short DRI");
      img.restartInterval = Get16(seg);
    } else if (marker == 0xDA) {
      size_t scanBegin = pos + 2 + length;
      size_t scanEnd = j.size();
      if (scanEnd >= scanBegin + 2 && j[scanEnd - 2] == 0xFF && j[scanEnd - 1] == 0xD9) scanEnd -= 2;
      img.scan.assign(j.begin() + std::ptrdiff_t(scanBegin), j.begin() + std::ptrdiff_t(scanEnd));
      if (!haveFrame) return fail("SOS before SOF0");
      if (componentTables[0] != 0 || tables[0].empty()) return fail("luminance table not 0");
      img.tables = tables[0];
      if (componentTables[1] != componentTables[2]) return fail("chroma components use different tables");
      if (componentTables[1] != 0) {
        if (tables[componentTables[1]].empty()) return fail("missing chroma table");
        img.tables.insert(img.tables.end(), tables[componentTables[1]].begin(), tables[componentTables[1]].end());
      }
      if (img.width % 8 != 0 || img.height % 8 != 0) return fail("size not expressible in 8-pixel units");
      img.segments.assign(j.begin() + 2, j.begin() + std::ptrdiff_t(scanBegin));
      *image = std::move(img);
      return true;
    }
    pos += 2 + length;
  }
  return fail("no SOS");
}

std::vector<uint8_t> ScaledStandardTables(int q) {
  const int factor = std::min(99, std::max(1, q));
  const int scale = q < 50 ? 5000 / factor : 200 - 2 * factor;
  std::vector<uint8_t> out(128);
  for (int i = 0; i < 128; ++i) {
    const int base = i < 64 ? kStandardLuminance[i] : kStandardChrominance[i - 64];
    out[size_t(i)] = static_cast<uint8_t>(std::min(255, std::max(1, (base * scale + 50) / 100)));
  }
  return out;
}

int FindStandardQ(const JpegImage& image) {
  for (int q = 1; q <= 99; ++q)
    if (ScaledStandardTables(q) == image.tables) return q;
  return -1;
}

bool RtpSender::PacketizeJpeg(const JpegImage& image, const JpegOptions& options, std::vector<RtpDatagram>* out,
                              size_t frameIndex) {
  int q = options.inBandTables ? 255 : options.q;
  if (!options.inBandTables && q < 0) q = FindStandardQ(image);
  if (q < 0 || q > 255 || (!options.inBandTables && q >= 128)) return false;
  if (options.inBandTables && image.tables.empty()) return false;
  std::vector<uint8_t> tables = image.tables;
  if (options.sixteenBitTables) {
    tables.clear();
    for (uint8_t v : image.tables) Put16(tables, v);
  }
  std::vector<uint8_t> extension;
  if (options.extension) {
    extension = image.segments;
    while (extension.size() % 4 != 0) extension.insert(extension.begin(), 0xFF);  // fill bytes before a marker
  }
  // Sizes the 8-pixel fields cannot hold go as 0.
  const uint8_t widthUnits = image.width <= 2040 ? static_cast<uint8_t>(image.width / 8) : 0;
  const uint8_t heightUnits = image.height <= 2040 ? static_cast<uint8_t>(image.height / 8) : 0;
  const uint8_t type = static_cast<uint8_t>(image.type + (image.restartInterval != 0 ? 64 : 0));
  const size_t limit = std::max<size_t>(m_settings.maxPayload, 200);
  size_t offset = 0;
  do {
    std::vector<uint8_t> p;
    p.push_back(0);  // type-specific
    Put24(p, static_cast<uint32_t>(offset));
    p.push_back(type);
    p.push_back(static_cast<uint8_t>(q));
    p.push_back(widthUnits);
    p.push_back(heightUnits);
    if (image.restartInterval != 0) {
      Put16(p, image.restartInterval);
      Put16(p, 0xFFFF);  // F=1, L=1, count 0x3FFF: not aligned to restart intervals
    }
    if (q >= 128 && offset == 0) {
      p.push_back(0);  // MBZ
      p.push_back(options.sixteenBitTables ? 3 : 0);  // precision of tables 0 and 1
      Put16(p, static_cast<uint32_t>(tables.size()));
      p.insert(p.end(), tables.begin(), tables.end());
    }
    const size_t room = limit > p.size() ? limit - p.size() : 1;
    const size_t chunk = std::min(room, image.scan.size() - offset);
    p.insert(p.end(), image.scan.begin() + std::ptrdiff_t(offset), image.scan.begin() + std::ptrdiff_t(offset + chunk));
    const bool first = offset == 0;
    offset += chunk;
    RtpDatagram d = Make(p, offset >= image.scan.size(), frameIndex);
    if (first && options.extension) {
      RtpPacketFields f;
      f.payloadType = m_settings.payloadType;
      f.sequence = d.sequence;
      f.timestamp = m_timestamp;
      f.ssrc = m_settings.ssrc;
      f.marker = d.marker;
      f.hasExtension = true;
      f.extensionProfile = 0xFFD8;
      f.extension = extension;
      d.bytes = BuildRtpPacket(f, p);
    }
    out->push_back(std::move(d));
  } while (offset < image.scan.size());
  m_timestamp += m_settings.timestampStep;
  return true;
}

// ---- MPEG-4 ----

std::vector<Mpeg4Frame> SplitMpeg4Frames(const std::vector<uint8_t>& s) {
  std::vector<Mpeg4Frame> frames;
  const std::vector<size_t> codes = FindStartCodes(s);
  size_t frameStart = codes.empty() ? 0 : codes[0];
  bool sawVop = false;
  bool key = false;
  for (size_t k = 0; k < codes.size(); ++k) {
    const size_t at = codes[k];
    const uint8_t code = at + 3 < s.size() ? s[at + 3] : 0;
    // The first start code after a VOP opens the next frame.
    if (sawVop && code != 0xB1) {
      frames.push_back({std::vector<uint8_t>(s.begin() + std::ptrdiff_t(frameStart), s.begin() + std::ptrdiff_t(at)), key});
      frameStart = at;
      sawVop = false;
    }
    if (code == 0xB6) {
      sawVop = true;
      key = at + 4 < s.size() && (s[at + 4] >> 6) == 0;
    }
  }
  if (sawVop) frames.push_back({std::vector<uint8_t>(s.begin() + std::ptrdiff_t(frameStart), s.end()), key});
  return frames;
}

std::vector<RtpDatagram> RtpSender::PacketizeMpeg4(const std::vector<Mpeg4Frame>& frames,
                                                   const Mpeg4Options& options) {
  std::vector<RtpDatagram> out;
  const size_t limit = std::max<size_t>(m_settings.maxPayload, 16);
  for (size_t index = 0; index < frames.size(); ++index) {
    const std::vector<uint8_t>& f = frames[index].bytes;
    size_t pos = 0;
    if (options.configInOwnPacket) {
      for (size_t i = 0; i + 3 < f.size(); ++i) {
        if (f[i] == 0 && f[i + 1] == 0 && f[i + 2] == 1 && f[i + 3] == 0xB6) {
          if (i > 0) out.push_back(Make(f.data(), i, false, index));
          pos = i;
          break;
        }
      }
    }
    const bool early = options.earlyMarkerOnFirstKey && index == 0 && frames[index].key;
    while (pos < f.size()) {
      const size_t chunk = std::min(limit, f.size() - pos);
      out.push_back(Make(f.data() + pos, chunk, pos + chunk == f.size() || (early && pos == 0), index));
      pos += chunk;
    }
    m_timestamp += m_settings.timestampStep;
  }
  return out;
}

// ---- UDP ----

bool RtpSender::SendUdp(const std::vector<RtpDatagram>& datagrams, uint16_t port, unsigned gapMicroseconds) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = true;
  for (const RtpDatagram& d : datagrams) {
    const int sent = platform::SendSomeTo(s, d.bytes.data(), static_cast<int>(d.bytes.size()),
                                          reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (sent != static_cast<int>(d.bytes.size())) {
      ok = false;
      break;
    }
    if (gapMicroseconds != 0) std::this_thread::sleep_for(std::chrono::microseconds(gapMicroseconds));
  }
  closesocket(s);
  return ok;
}

}  // namespace test
}  // namespace telvora
