// Helpers of the depacketizer tests: a client that keeps copies of the
// frames handed over, packet feeding, a bit writer for hand-made headers,
// and running FFmpeg in a temporary folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/media_parser_client.h"
#include "media/rtp_media_parser.h"
#include "support/fake_driver.h"
#include "support/fake_frames.h"
#include "support/rtp_sender.h"

namespace telvora {
namespace test {

struct DeliveredFrame {
  std::vector<uint8_t> bytes;
  uint32_t createFormat = 0;
  uint32_t format = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t resolutionClass = 0;
  bool timeSet = false;
};

class FrameCollector : public IMediaParserClient {
 public:
  bool DeliverFrame(IVideoFrame* frame) override;
  void GetChannelParameters(std::pair<uint32_t, uint32_t>* values) override { *values = {0, 0}; }
  std::string GetDriverName() override { return "Orvalen"; }
  void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME* time) override;

  std::vector<DeliveredFrame> frames;
  std::vector<uint32_t> timestamps;  // as asked to convert
  bool refuse = false;
};

// A driver, an allocator and a collector wired to one depacketizer.
struct ParserRig {
  ParserRig() { driver.SetAllocator(&allocator); }
  void Attach(CRTPMediaParser* parser) { parser->SetClient(&collector); }
  FakeDriver driver;
  FakeFrameAllocator allocator;
  FrameCollector collector;
};

// Parses each datagram as an RTP packet and hands it to the depacketizer.
void Feed(CRTPMediaParser* parser, const std::vector<RtpDatagram>& datagrams);
void FeedOne(CRTPMediaParser* parser, const std::vector<uint8_t>& datagram);
// One packet with the given sequence number, marker and payload.
void FeedPayload(CRTPMediaParser* parser, uint16_t sequence, bool marker, const std::vector<uint8_t>& payload,
                 uint32_t timestamp = 1000);

class BitWriter {
 public:
  void Put(uint32_t value, unsigned bits);
  void Ue(uint32_t value);
  void Se(int32_t value);
  // Pads with the rbsp stop bit and zeros to a whole byte.
  void Trailing();
  void PadZero();  // zeros up to a whole byte
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }
  size_t BitCount() const { return m_bit; }

 private:
  std::vector<uint8_t> m_bytes;
  unsigned m_bit = 0;
};

// Inserts the 03 of every 00 00 0x (x up to 3) as an H.264 encoder does.
std::vector<uint8_t> AddEmulationPrevention(const std::vector<uint8_t>& rbsp);

// The fields of a hand-made SPS that ParseSps reads.
struct SpsFields {
  uint8_t profileIdc = 66;
  uint8_t constraintFlags = 0xC0;  // top four bits: constraint_set0..3
  uint8_t levelIdc = 30;
  uint32_t spsId = 0;
  uint32_t chromaFormatIdc = 1;          // High profiles only
  bool scalingMatrix = false;            // High profiles: every list present
  uint32_t log2MaxFrameNumMinus4 = 0;
  uint32_t pocType = 0;
  int32_t offsetForNonRefPic = 0;        // pocType 1
  uint32_t pocCycle = 0;                 // pocType 1
  uint32_t maxNumRefFrames = 1;
  uint32_t widthInMbsMinus1 = 39;        // 640
  uint32_t heightInMapUnitsMinus1 = 29;  // 480
  bool frameMbsOnly = true;
  bool cropping = false;
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
};
// The SPS NAL unit (header 0x67, emulation prevention applied).
std::vector<uint8_t> MakeSps(const SpsFields& fields);

// A folder under /tmp removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Runs a shell command; returns its exit status and stores stdout and
// stderr together in *output.
int RunCommand(const std::string& command, std::string* output = nullptr);
bool ReadFile(const std::string& path, std::vector<uint8_t>* data);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& data);
// "" when ffmpeg decodes the file without a message, else its messages.
std::string DecodeErrors(const std::string& path, const std::string& inputFormat = "");
// Frames ffprobe counts in the file, -1 on failure; width and height of
// the first video stream.
int ProbeFrames(const std::string& path, const std::string& inputFormat, int* width, int* height);
bool HaveFfmpeg();

}  // namespace test
}  // namespace telvora
