// A host for the depacketizer fuzz targets: frames in plain memory, a
// client that takes every frame, a driver that drops its log lines. The
// input is cut into packets: a control byte (bit 0 marker, bit 1 skip
// ctrl >> 4 sequence numbers, bit 2 header extension), a 16-bit length and
// that many bytes after the 12-byte RTP header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/driver_services.h"
#include "media/media_parser_client.h"
#include "media/rtp_media_parser.h"
#include "rtp/rtp_packet.h"

namespace fuzzhost {

class Frame : public telvora::IVideoFrame {
 public:
  explicit Frame(uint32_t size) : m_data(size) {}
  uint8_t* GetData() override { return m_data.data(); }
  void SetDataSize(uint32_t size) override { m_size = size; }
  void SetTime(const SYSTEMTIME*) override {}
  void GetTime(SYSTEMTIME*) override {}
  void SetFormat(uint32_t) override {}
  void SetHeight(uint32_t) override {}
  void SetWidth(uint32_t) override {}
  void SetResolutionClass(uint32_t) override {}
  std::vector<uint8_t> m_data;
  uint32_t m_size = 0;
};

// Makes frames of type F (a Frame).
template <typename F>
class Allocator : public telvora::IFrameAllocator {
 public:
  telvora::IVideoFrame* CreateFrame(uint32_t, uint32_t size, const char*) override { return new F(size); }
  void ReleaseFrame(telvora::IVideoFrame* frame) override { delete static_cast<F*>(frame); }
};

template <typename F>
class DriverOf : public telvora::IDriver {
 public:
  std::string GetDeviceText() override { return "127.0.0.1:554"; }
  void Log(int, const char*, ...) override {}
  std::string GetDriverName() override { return "Orvalen"; }
  std::string GetHostDirectory() override { return ""; }
  telvora::DEVICE_INFO* GetDeviceInfo() override { return &m_info; }
  std::pair<uint32_t, uint32_t> GetModelValues() override { return {0, 0}; }
  telvora::IFrameAllocator* GetFrameAllocator() override { return &m_allocator; }
  uint32_t GetReservedValue() override { return 0; }
  uint32_t GetConnectionValue() override { return 0; }
  uint32_t GetChannelCount() override { return 1; }
  std::string GetParameter(uint32_t) override { return ""; }
  int32_t GetParameterNumber(uint32_t) override { return 0; }

 private:
  telvora::DEVICE_INFO m_info{"127.0.0.1", 554, "", ""};
  Allocator<F> m_allocator;
};
using Driver = DriverOf<Frame>;

class Client : public telvora::IMediaParserClient {
 public:
  bool DeliverFrame(telvora::IVideoFrame* frame) override {
    // Read every byte (through libc, so the sanitizer checks the range
    // without a coverage probe per byte).
    const Frame* f = static_cast<const Frame*>(frame);
    const size_t readable = std::min<size_t>(f->m_size, f->m_data.size());
    volatile const void* found = readable > 0 ? std::memchr(f->m_data.data(), 0xA5, readable) : nullptr;
    (void)found;
    return (++m_count % 7) != 0;  // now and then refuse, as a busy host does
  }
  void GetChannelParameters(std::pair<uint32_t, uint32_t>* values) override { *values = {0, 0}; }
  std::string GetDriverName() override { return "Orvalen"; }
  void ConvertTimestamp(uint32_t, SYSTEMTIME* time) override { std::memset(time, 0, sizeof(*time)); }

 private:
  unsigned m_count = 0;
};

inline void FeedPackets(telvora::CRTPMediaParser* parser, const uint8_t* data, size_t size) {
  uint16_t sequence = 0;
  size_t pos = 0;
  std::vector<uint8_t> datagram;
  while (pos + 3 <= size) {
    const uint8_t control = data[pos];
    size_t length = (size_t(data[pos + 1]) << 8) | data[pos + 2];
    pos += 3;
    if (length > size - pos) length = size - pos;
    sequence = static_cast<uint16_t>(sequence + 1 + ((control & 2) ? (control >> 4) : 0));
    datagram.assign({static_cast<uint8_t>(0x80 | ((control & 4) ? 0x10 : 0)),
                     static_cast<uint8_t>(((control & 1) ? 0x80 : 0) | 96), static_cast<uint8_t>(sequence >> 8),
                     static_cast<uint8_t>(sequence), 0, 0, 0x10, 0, 1, 2, 3, 4});
    datagram.insert(datagram.end(), data + pos, data + pos + length);
    pos += length;
    telvora::CRTPPacket packet;
    if (packet.Parse(datagram.data(), static_cast<unsigned>(datagram.size()))) parser->ProcessPacket(packet);
  }
}

}  // namespace fuzzhost
