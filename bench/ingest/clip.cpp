#include "clip.h"

#include <cstdio>

#include "frame_tag.h"
#include "support/rtp_sender.h"

namespace ingest {

using telvora::test::H264AccessUnit;
using telvora::test::RtpDatagram;
using telvora::test::RtpSender;

double Clip::BitRate() const {
  if (frames.empty()) return 0;
  double bytes = 0;
  for (const ClipFrame& f : frames) bytes += static_cast<double>(f.bytes);
  return bytes * 8 * frameRate / static_cast<double>(frames.size());
}

size_t Clip::MaxPacketsPerFrame() const {
  size_t most = 0;
  for (const ClipFrame& f : frames) most = f.packets.size() > most ? f.packets.size() : most;
  return most;
}

bool LoadClip(const std::string& path, const std::string& name, Clip* clip, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot read " + path;
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(file);
  return BuildClip(bytes, name, clip, error);
}

bool BuildClip(const std::vector<uint8_t>& annexB, const std::string& name, Clip* clip, std::string* error) {
  std::vector<H264AccessUnit> units = telvora::test::SplitH264AccessUnits(annexB);
  if (units.empty()) {
    *error = name + ": no H.264 access unit";
    return false;
  }
  const std::vector<uint8_t> tag = MakeFrameTagNal();
  // Filler data may only follow the picture, so the tag goes last.
  for (H264AccessUnit& unit : units) unit.nalUnits.push_back(tag);
  RtpSender sender;
  std::vector<RtpDatagram> datagrams = sender.PacketizeH264(units);
  clip->name = name;
  clip->frames.assign(units.size(), ClipFrame());
  for (size_t i = 0; i < units.size(); ++i) clip->frames[i].key = units[i].idr;
  for (RtpDatagram& d : datagrams) {
    if (d.frameIndex >= clip->frames.size()) continue;
    ClipFrame& frame = clip->frames[d.frameIndex];
    frame.bytes += d.bytes.size() - 12;
    frame.packets.push_back(std::move(d.bytes));
  }
  for (size_t i = 0; i < clip->frames.size(); ++i) {
    ClipFrame& frame = clip->frames[i];
    bool found = false;
    for (size_t p = 0; p < frame.packets.size() && !found; ++p) {
      const long at = FindFrameTagDigits(frame.packets[p].data(), frame.packets[p].size(), frame.packets[p].size());
      if (at >= 0) {
        frame.tagPacket = p;
        frame.tagOffset = static_cast<size_t>(at);
        found = true;
      }
    }
    if (!found || frame.packets.empty()) {
      *error = name + ": frame " + std::to_string(i) + " lost its tag in packetizing";
      return false;
    }
  }
  return true;
}

}  // namespace ingest
