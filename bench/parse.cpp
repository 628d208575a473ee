// Parsing throughput of what arrives from the network, each beside a memcpy
// of the same bytes in the same run: RTP datagrams, an SDP description and
// the RTSP answers of one session start.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "rtp/rtp_packet.h"
#include "rtsp/rtsp_method.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/sdp_parser.h"

namespace {

// A mix as cameras send it: mostly plain 1400-byte payloads, some with a
// header extension (ONVIF replay style) and a CSRC, and short ones.
std::vector<std::vector<uint8_t>> MakeDatagrams() {
  std::vector<std::vector<uint8_t>> out;
  for (int i = 0; i < 64; ++i) {
    const bool extension = i % 8 == 3;
    const bool csrc = i % 16 == 5;
    const size_t payload = i % 10 == 9 ? 120 : 1400;
    std::vector<uint8_t> d = {static_cast<uint8_t>(0x80 | (extension ? 0x10 : 0) | (csrc ? 1 : 0)),
                              static_cast<uint8_t>((i % 10 == 9 ? 0x80 : 0) | 96),
                              static_cast<uint8_t>(i >> 8),
                              static_cast<uint8_t>(i),
                              0, 0, 0x0E, 0x10,     // timestamp
                              0x0A, 0x0B, 0x0C, 0x0D};  // SSRC
    if (csrc) d.insert(d.end(), {1, 2, 3, 4});
    if (extension) d.insert(d.end(), {0xAB, 0xAC, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    d.resize(d.size() + payload, 0x5A);
    out.push_back(d);
  }
  return out;
}

const char kSdp[] =
    "v=0\r\n"
    "o=- 1700000000000000 1 IN IP4 192.0.2.10\r\n"
    "s=Media Presentation\r\n"
    "e=NONE\r\n"
    "b=AS:5100\r\n"
    "t=0 0\r\n"
    "a=control:rtsp://192.0.2.10:554/Streaming/Channels/101/\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "b=AS:5000\r\n"
    "a=recvonly\r\n"
    "a=x-dimensions:1920,1080\r\n"
    "a=control:rtsp://192.0.2.10:554/Streaming/Channels/101/trackID=1\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 profile-level-id=420029; packetization-mode=1; "
    "sprop-parameter-sets=Z00AKp2oHgCJ+WbgICAoAAADAAgAAAMBlCA=,aO48gA==\r\n"
    "m=audio 0 RTP/AVP 8\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "b=AS:50\r\n"
    "a=recvonly\r\n"
    "a=control:rtsp://192.0.2.10:554/Streaming/Channels/101/trackID=2\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=Media_header:MEDIAINFO=494D4B48010200000400000111710110401F000000FA000000000000000000000000000000000000;\r\n"
    "a=appversion:1.0\r\n";

std::string DescribeAnswer() {
  const std::string body = kSdp;
  return "RTSP/1.0 200 OK\r\n"
         "CSeq: 3\r\n"
         "Content-Type: application/sdp\r\n"
         "Content-Base: rtsp://192.0.2.10:554/Streaming/Channels/101/\r\n"
         "Content-Length: " +
         std::to_string(body.size()) +
         "\r\n"
         "Date: Tue, 08 Dec 2026 10:00:00 GMT\r\n"
         "\r\n" +
         body;
}

const char kSetupAnswer[] =
    "RTSP/1.0 200 OK\r\n"
    "CSeq: 4\r\n"
    "Session: 1273222592;timeout=60\r\n"
    "Transport: RTP/AVP;unicast;client_port=3556-3557;server_port=8216-8217;ssrc=1D2C9A11;mode=\"play\"\r\n"
    "Date: Tue, 08 Dec 2026 10:00:00 GMT\r\n"
    "\r\n";

const char kUnauthorized[] =
    "RTSP/1.0 401 Unauthorized\r\n"
    "CSeq: 2\r\n"
    "WWW-Authenticate: Digest realm=\"IP Camera(C6294)\", nonce=\"a3bd6b1d8e2a4c3f\", stale=\"FALSE\"\r\n"
    "Date: Tue, 08 Dec 2026 10:00:00 GMT\r\n"
    "\r\n";

void CopyText(benchmark::State& state, const std::vector<std::string>& texts) {
  size_t bytes = 0;
  for (const auto& t : texts) bytes += t.size();
  std::vector<char> target(bytes);
  for (auto _ : state) {
    size_t at = 0;
    for (const auto& t : texts) {
      std::memcpy(target.data() + at, t.data(), t.size());
      at += t.size();
    }
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_RtpParse(benchmark::State& state) {
  static const auto datagrams = MakeDatagrams();
  size_t bytes = 0;
  for (const auto& d : datagrams) bytes += d.size();
  telvora::CRTPPacket packet;
  uint64_t parsed = 0;
  for (auto _ : state) {
    for (const auto& d : datagrams) parsed += packet.Parse(d.data(), static_cast<unsigned>(d.size())) ? 1 : 0;
    benchmark::DoNotOptimize(packet.GetPayload());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  state.counters["parsed_per_cycle"] = double(parsed) / double(state.iterations());
}
void BM_RtpParse_Memcpy(benchmark::State& state) {
  static const auto datagrams = MakeDatagrams();
  std::vector<std::string> texts;
  for (const auto& d : datagrams) texts.emplace_back(d.begin(), d.end());
  CopyText(state, texts);
}

void BM_SdpParse(benchmark::State& state) {
  const std::string text = kSdp;
  telvora::CSDPResponseParser parser;
  bool ok = true;
  for (auto _ : state) {
    ok = parser.ParseSdp(text) && ok;
    benchmark::DoNotOptimize(parser.GetInfo().parameterSet1.data());
  }
  if (!ok) state.SkipWithError("the description did not parse");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
void BM_SdpParse_Memcpy(benchmark::State& state) { CopyText(state, {kSdp}); }

// The answers of one session start with Digest: 401, DESCRIBE, SETUP.
void BM_ResponseParse(benchmark::State& state) {
  const std::string describe = DescribeAnswer();
  const std::string setup = kSetupAnswer;
  const std::string unauthorized = kUnauthorized;
  telvora::CRTSPResponseParser parser;
  bool ok = true;
  for (auto _ : state) {
    parser.Reset();
    ok = parser.Parse(telvora::kRtspDescribe, unauthorized) && ok;
    ok = parser.Parse(telvora::kRtspDescribe, describe) && ok;
    ok = parser.Parse(telvora::kRtspSetup, setup) && ok;
    benchmark::DoNotOptimize(parser.sessionId.data());
  }
  if (!ok) state.SkipWithError("an answer did not parse");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(describe.size() + setup.size() + unauthorized.size()));
}
void BM_ResponseParse_Memcpy(benchmark::State& state) {
  CopyText(state, {DescribeAnswer(), kSetupAnswer, kUnauthorized});
}

BENCHMARK(BM_RtpParse);
BENCHMARK(BM_RtpParse_Memcpy);
BENCHMARK(BM_SdpParse);
BENCHMARK(BM_SdpParse_Memcpy);
BENCHMARK(BM_ResponseParse);
BENCHMARK(BM_ResponseParse_Memcpy);

}  // namespace

BENCH_MAIN_WITH_RATIOS()
