#include "media_test_kit.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>


#include "rtp/rtp_packet.h"

namespace telvora {
namespace test {

bool FrameCollector::DeliverFrame(IVideoFrame* frame) {
  FakeFrame* f = static_cast<FakeFrame*>(frame);
  DeliveredFrame d;
  d.bytes = f->Bytes();
  d.createFormat = f->m_createFormat;
  d.format = f->m_format;
  d.width = f->m_width;
  d.height = f->m_height;
  d.resolutionClass = f->m_resolutionClass;
  d.timeSet = f->m_timeSet;
  frames.push_back(std::move(d));
  return !refuse;
}

void FrameCollector::ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME* time) {
  timestamps.push_back(rtpTimestamp);
  *time = SYSTEMTIME{};
  time->wYear = 2024;
  time->wMilliseconds = static_cast<uint16_t>(rtpTimestamp % 1000);
}

// One packet reparsed for every datagram, as the receive paths do: bytes a
// depacketizer kept without taking their storage would be overwritten.
void FeedOne(CRTPMediaParser* parser, const std::vector<uint8_t>& datagram) {
  static thread_local CRTPPacket packet;
  if (packet.Parse(datagram.data(), static_cast<unsigned>(datagram.size()))) parser->ProcessPacket(packet);
}

void Feed(CRTPMediaParser* parser, const std::vector<RtpDatagram>& datagrams) {
  for (const RtpDatagram& d : datagrams) FeedOne(parser, d.bytes);
}

void FeedPayload(CRTPMediaParser* parser, uint16_t sequence, bool marker, const std::vector<uint8_t>& payload,
                 uint32_t timestamp) {
  RtpPacketFields f;
  f.sequence = sequence;
  f.marker = marker;
  f.timestamp = timestamp;
  FeedOne(parser, BuildRtpPacket(f, payload));
}

void BitWriter::Put(uint32_t value, unsigned bits) {
  for (unsigned i = bits; i-- > 0;) {
    if (m_bit % 8 == 0) m_bytes.push_back(0);
    if ((value >> i) & 1u) m_bytes.back() |= static_cast<uint8_t>(0x80u >> (m_bit % 8));
    ++m_bit;
  }
}

void BitWriter::Ue(uint32_t value) {
  const uint64_t v = uint64_t(value) + 1;
  unsigned bits = 0;
  while ((v >> bits) > 1) ++bits;
  Put(0, bits);
  Put(1, 1);
  Put(static_cast<uint32_t>(v - (uint64_t(1) << bits)), bits);
}

void BitWriter::Se(int32_t value) {
  Ue(value > 0 ? static_cast<uint32_t>(2 * int64_t(value) - 1) : static_cast<uint32_t>(-2 * int64_t(value)));
}

void BitWriter::Trailing() {
  Put(1, 1);
  PadZero();
}

void BitWriter::PadZero() {
  while (m_bit % 8 != 0) Put(0, 1);
}

std::vector<uint8_t> AddEmulationPrevention(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  unsigned zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::vector<uint8_t> MakeSps(const SpsFields& f) {
  BitWriter w;
  w.Put(f.profileIdc, 8);
  w.Put(f.constraintFlags, 8);
  w.Put(f.levelIdc, 8);
  w.Ue(f.spsId);
  if (f.profileIdc >= 100) {
    w.Ue(f.chromaFormatIdc);
    if (f.chromaFormatIdc == 3) w.Put(0, 1);  // separate_colour_plane_flag
    w.Ue(0);
    w.Ue(0);
    w.Put(0, 1);
    w.Put(f.scalingMatrix ? 1 : 0, 1);
    if (f.scalingMatrix) {
      const int lists = f.chromaFormatIdc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        w.Put(1, 1);
        const int size = i < 6 ? 16 : 64;
        // Deltas that walk the scale up and down, then one to 0 that ends
        // the list early (the remaining entries repeat the last scale).
        int last = 8;
        for (int j = 0; j < size; ++j) {
          if (j == size / 2) {
            w.Se(-last);
            break;
          }
          const int delta = j % 2 == 0 ? 3 : -1;
          w.Se(delta);
          last += delta;
        }
      }
    }
  }
  w.Ue(f.log2MaxFrameNumMinus4);
  w.Ue(f.pocType);
  if (f.pocType == 0) {
    w.Ue(0);
  } else if (f.pocType == 1) {
    w.Put(0, 1);
    w.Se(f.offsetForNonRefPic);
    w.Se(0);
    w.Ue(f.pocCycle);
    for (uint32_t i = 0; i < f.pocCycle; ++i) w.Se(static_cast<int32_t>(i));
  }
  w.Ue(f.maxNumRefFrames);
  w.Put(0, 1);
  w.Ue(f.widthInMbsMinus1);
  w.Ue(f.heightInMapUnitsMinus1);
  w.Put(f.frameMbsOnly ? 1 : 0, 1);
  if (!f.frameMbsOnly) w.Put(0, 1);
  w.Put(1, 1);
  w.Put(f.cropping ? 1 : 0, 1);
  if (f.cropping) {
    w.Ue(f.cropLeft);
    w.Ue(f.cropRight);
    w.Ue(f.cropTop);
    w.Ue(f.cropBottom);
  }
  w.Put(0, 1);  // vui_parameters_present_flag
  w.Trailing();
  std::vector<uint8_t> nal{0x67};
  const std::vector<uint8_t> escaped = AddEmulationPrevention(w.Bytes());
  nal.insert(nal.end(), escaped.begin(), escaped.end());
  return nal;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(out);
}

std::string DecodeErrors(const std::string& path, const std::string& inputFormat) {
  std::string output;
  const std::string format = inputFormat.empty() ? "" : " -f " + inputFormat;
  const int status = RunCommand("ffmpeg -nostdin -v error" + format + " -i '" + path + "' -f null -", &output);
  if (status != 0 && output.empty()) output = "ffmpeg exit status " + std::to_string(status);
  return output;
}

int ProbeFrames(const std::string& path, const std::string& inputFormat, int* width, int* height) {
  std::string output;
  const std::string format = inputFormat.empty() ? "" : " -f " + inputFormat;
  const int status = RunCommand("ffprobe -v error" + format +
                                    " -count_frames -select_streams v:0 -show_entries "
                                    "stream=width,height,nb_read_frames -of csv=p=0 '" +
                                    path + "'",
                                &output);
  if (status != 0) return -1;
  int w = 0, h = 0, frames = -1;
  if (std::sscanf(output.c_str(), "%d,%d,%d", &w, &h, &frames) != 3) return -1;
  if (width != nullptr) *width = w;
  if (height != nullptr) *height = h;
  return frames;
}

bool HaveFfmpeg() { return RunCommand("ffmpeg -version >/dev/null && ffprobe -version >/dev/null") == 0; }

}  // namespace test
}  // namespace telvora
