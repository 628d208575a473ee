// Depacketizing throughput against a memcpy of the same payload bytes, in
// the same run: 100 kB frames in packets of 1400 payload bytes, eight frames
// a cycle, the first of them a key frame. A depacketizer may take a packet's
// payload storage, so every cycle parses its packets afresh, untimed, for
// both; the timed part runs from parsed packets to bytes in the host frame.
// At the end each figure is printed as a ratio to its own baseline.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "host/driver_services.h"
#include "kovadel/kovadel.h"
#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/media_parser_client.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "rtp/rtp_packet.h"
#include "ratio_reporter.h"

namespace {

using telvora::CRTPMediaParser;
using telvora::CRTPPacket;

const size_t kFrameBytes = 100 * 1000;
const size_t kPayloadBytes = 1400;
const int kFramesPerCycle = 8;

// One host frame, reused: the benchmark measures the driver, not malloc.
class ReusedFrame : public telvora::IVideoFrame {
 public:
  ReusedFrame() : m_data(11 << 20) {}
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

class Host : public telvora::IDriver, public telvora::IFrameAllocator, public telvora::IMediaParserClient {
 public:
  std::string GetDeviceText() override { return "127.0.0.1:554"; }
  void Log(int, const char*, ...) override {}
  std::string GetDriverName() override { return "Orvalen"; }
  std::string GetHostDirectory() override { return ""; }
  telvora::DEVICE_INFO* GetDeviceInfo() override { return &m_info; }
  std::pair<uint32_t, uint32_t> GetModelValues() override { return {0, 0}; }
  telvora::IFrameAllocator* GetFrameAllocator() override { return this; }
  uint32_t GetReservedValue() override { return 0; }
  uint32_t GetConnectionValue() override { return 0; }
  uint32_t GetChannelCount() override { return 1; }
  std::string GetParameter(uint32_t) override { return ""; }
  int32_t GetParameterNumber(uint32_t) override { return 0; }

  telvora::IVideoFrame* CreateFrame(uint32_t, uint32_t size, const char*) override {
    return size <= m_frame.m_data.size() ? &m_frame : nullptr;
  }
  void ReleaseFrame(telvora::IVideoFrame*) override {}

  bool DeliverFrame(telvora::IVideoFrame*) override {
    ++delivered;
    return true;
  }
  void GetChannelParameters(std::pair<uint32_t, uint32_t>* values) override { *values = {0, 0}; }
  void ConvertTimestamp(uint32_t, SYSTEMTIME* time) override { std::memset(time, 0, sizeof(*time)); }

  int64_t delivered = 0;

 private:
  telvora::DEVICE_INFO m_info{"127.0.0.1", 554, "", ""};
  ReusedFrame m_frame;
};

struct Stream {
  std::vector<std::vector<uint8_t>> datagrams;
  size_t payloadBytes = 0;
};

// The stream's packets, parsed again before each timed cycle.
class Packets {
 public:
  explicit Packets(const Stream& stream) : m_stream(stream) {
    for (size_t i = 0; i < stream.datagrams.size(); ++i) m_packets.emplace_back(new CRTPPacket);
  }
  void Refill() {
    for (size_t i = 0; i < m_packets.size(); ++i)
      m_packets[i]->Parse(m_stream.datagrams[i].data(), static_cast<unsigned>(m_stream.datagrams[i].size()));
  }
  const std::vector<std::unique_ptr<CRTPPacket>>& Get() const { return m_packets; }

 private:
  const Stream& m_stream;
  std::vector<std::unique_ptr<CRTPPacket>> m_packets;
};

// Times body over the cycle only, after an untimed refill.
template <typename Body>
void RunCycles(benchmark::State& state, const Stream& stream, Body body) {
  Packets packets(stream);
  for (auto _ : state) {
    packets.Refill();
    const auto start = std::chrono::steady_clock::now();
    body(packets.Get());
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.payloadBytes));
}

void Add(Stream& s, uint16_t& seq, bool marker, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> d = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | 96), uint8_t(seq >> 8), uint8_t(seq),
                            0, 0, 0x10, 0, 1, 2, 3, 4};
  d.insert(d.end(), payload.begin(), payload.end());
  s.payloadBytes += payload.size();
  s.datagrams.push_back(std::move(d));
  ++seq;
}

Stream MakeH264() {
  Stream s;
  uint16_t seq = 0;
  const std::vector<uint8_t> sps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xF6, 0x80, 0x6D, 0x0A, 0x13, 0x50};
  const std::vector<uint8_t> pps = {0x68, 0xCE, 0x3C, 0x80};
  for (int frame = 0; frame < kFramesPerCycle; ++frame) {
    const uint8_t type = frame == 0 ? 5 : 1;
    if (frame == 0) {
      Add(s, seq, false, sps);
      Add(s, seq, false, pps);
    }
    for (size_t done = 0; done < kFrameBytes;) {
      const size_t chunk = std::min(kPayloadBytes - 2, kFrameBytes - done);
      std::vector<uint8_t> fu{0x7C, type};
      if (done == 0) fu[1] |= 0x80;
      if (done + chunk == kFrameBytes) fu[1] |= 0x40;
      fu.resize(2 + chunk, 0x5A);
      if (done == 0) fu[2] = 0x88;  // first_mb_in_slice 0
      Add(s, seq, done + chunk == kFrameBytes, fu);
      done += chunk;
    }
  }
  return s;
}

// Slices of 200 bytes, as many as fit aggregated in STAP-A packets (RFC
// 6184 5.7.1: a 2-byte size before each unit); SPS and PPS lead the key frame.
Stream MakeH264StapA() {
  Stream s;
  uint16_t seq = 0;
  const size_t kSliceBytes = 200;
  const std::vector<uint8_t> sps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xF6, 0x80, 0x6D, 0x0A, 0x13, 0x50};
  const std::vector<uint8_t> pps = {0x68, 0xCE, 0x3C, 0x80};
  for (int frame = 0; frame < kFramesPerCycle; ++frame) {
    std::vector<std::vector<uint8_t>> units;
    if (frame == 0) {
      units.push_back(sps);
      units.push_back(pps);
    }
    for (size_t done = 0; done < kFrameBytes; done += kSliceBytes) {
      std::vector<uint8_t> slice(kSliceBytes, 0x5A);
      slice[0] = frame == 0 ? 0x65 : 0x41;
      slice[1] = done == 0 ? 0x88 : 0x4A;  // first_mb_in_slice 0, then 1
      units.push_back(slice);
    }
    std::vector<uint8_t> packet{0x78};
    for (size_t i = 0; i < units.size(); ++i) {
      packet.push_back(static_cast<uint8_t>(units[i].size() >> 8));
      packet.push_back(static_cast<uint8_t>(units[i].size()));
      packet.insert(packet.end(), units[i].begin(), units[i].end());
      const bool last = i + 1 == units.size();
      if (last || packet.size() + 2 + units[i + 1].size() > kPayloadBytes) {
        Add(s, seq, last, packet);
        packet.assign(1, 0x78);
      }
    }
  }
  return s;
}

Stream MakeJpeg() {
  Stream s;
  uint16_t seq = 0;
  uint32_t random = 1;
  for (int frame = 0; frame < kFramesPerCycle; ++frame) {
    for (size_t done = 0; done < kFrameBytes;) {
      const size_t chunk = std::min(kPayloadBytes - 8, kFrameBytes - done);
      std::vector<uint8_t> p{0, uint8_t(done >> 16), uint8_t(done >> 8), uint8_t(done), 1, 50, 80, 60};
      // Entropy-coded data look random, with a 00 stuffed after every FF.
      while (p.size() < 8 + chunk) {
        random = random * 1103515245u + 12345u;
        p.push_back(static_cast<uint8_t>(random >> 16));
        if (p.back() == 0xFF && p.size() < 8 + chunk) p.push_back(0);
      }
      Add(s, seq, done + chunk == kFrameBytes, p);
      done += chunk;
    }
  }
  return s;
}

Stream MakeMpeg4() {
  Stream s;
  uint16_t seq = 0;
  // VOS, VO and a 640x480 VOL, as ffmpeg writes them.
  const std::vector<uint8_t> config = {0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0xB5, 0x89, 0x13,
                                       0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0xC4, 0x8D,
                                       0x88, 0x00, 0xCD, 0x14, 0x04, 0x3C, 0x14, 0x63};
  for (int frame = 0; frame < kFramesPerCycle; ++frame) {
    for (size_t done = 0; done < kFrameBytes;) {
      const size_t chunk = std::min(kPayloadBytes, kFrameBytes - done);
      std::vector<uint8_t> p(chunk, 0x5A);
      if (done == 0) {
        const uint8_t vop[] = {0, 0, 1, 0xB6, static_cast<uint8_t>(frame == 0 ? 0x10 : 0x50)};
        std::copy(vop, vop + 5, p.begin());
        if (frame == 0) p.insert(p.begin(), config.begin(), config.end());
      }
      Add(s, seq, done + chunk == kFrameBytes, p);
      done += chunk;
    }
  }
  return s;
}

void RunParser(benchmark::State& state, const Stream& stream, CRTPMediaParser* parser, Host& host) {
  parser->SetClient(&host);
  RunCycles(state, stream, [parser](const std::vector<std::unique_ptr<CRTPPacket>>& packets) {
    for (const auto& p : packets) parser->ProcessPacket(*p);
  });
  state.counters["frames_per_cycle"] =
      benchmark::Counter(double(host.delivered) / double(state.iterations()), benchmark::Counter::kDefaults);
}

void RunMemcpy(benchmark::State& state, const Stream& stream) {
  std::vector<uint8_t> frame(11 << 20);
  RunCycles(state, stream, [&frame](const std::vector<std::unique_ptr<CRTPPacket>>& packets) {
    size_t at = 0;
    for (const auto& p : packets) {
      if (at + p->GetPayloadLength() > kFrameBytes + 64) at = 0;
      std::memcpy(frame.data() + at, p->GetPayload(), p->GetPayloadLength());
      at += p->GetPayloadLength();
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  });
}

void BM_H264_FuA(benchmark::State& state) {
  static const Stream stream = MakeH264();
  Host host;
  telvora::CH264RTPMediaParser parser(&host);
  RunParser(state, stream, &parser, host);
}
void BM_H264_Memcpy(benchmark::State& state) {
  static const Stream stream = MakeH264();
  RunMemcpy(state, stream);
}
void BM_H264_StapA(benchmark::State& state) {
  static const Stream stream = MakeH264StapA();
  Host host;
  telvora::CH264RTPMediaParser parser(&host);
  RunParser(state, stream, &parser, host);
}
void BM_H264_StapA_Memcpy(benchmark::State& state) {
  static const Stream stream = MakeH264StapA();
  RunMemcpy(state, stream);
}
void BM_Jpeg(benchmark::State& state) {
  static const Stream stream = MakeJpeg();
  Host host;
  telvora::CJpegRTPMediaParser parser(&host);
  RunParser(state, stream, &parser, host);
}
void BM_Jpeg_Memcpy(benchmark::State& state) {
  static const Stream stream = MakeJpeg();
  RunMemcpy(state, stream);
}
void BM_Mpeg4(benchmark::State& state) {
  static const Stream stream = MakeMpeg4();
  Host host;
  telvora::CMpeg4RTPMediaParser parser(&host, &ParseMpegHeader);
  RunParser(state, stream, &parser, host);
}
void BM_Mpeg4_Memcpy(benchmark::State& state) {
  static const Stream stream = MakeMpeg4();
  RunMemcpy(state, stream);
}

BENCHMARK(BM_H264_FuA)->UseManualTime();
BENCHMARK(BM_H264_Memcpy)->UseManualTime();
BENCHMARK(BM_H264_StapA)->UseManualTime();
BENCHMARK(BM_H264_StapA_Memcpy)->UseManualTime();
BENCHMARK(BM_Jpeg)->UseManualTime();
BENCHMARK(BM_Jpeg_Memcpy)->UseManualTime();
BENCHMARK(BM_Mpeg4)->UseManualTime();
BENCHMARK(BM_Mpeg4_Memcpy)->UseManualTime();

}  // namespace

BENCH_MAIN_WITH_RATIOS()
