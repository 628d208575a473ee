// A looped H.264 clip, cut into RTP packets once before sending. Every
// access unit gets a frame tag (frame_tag.h) after its last NAL unit;
// the sender rewrites the tag digits and the RTP header for each frame sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ingest {

struct ClipFrame {
  std::vector<std::vector<uint8_t>> packets;  // whole RTP datagrams, marker on the last
  size_t tagPacket = 0;                       // the packet holding the tag digits
  size_t tagOffset = 0;                       // their offset in that packet
  bool key = false;                           // holds an IDR slice
  size_t bytes = 0;                           // RTP payload bytes of the frame
};

struct Clip {
  std::string name;
  std::vector<ClipFrame> frames;
  uint32_t frameRate = 25;
  // Payload bits per second at the frame rate.
  double BitRate() const;
  size_t MaxPacketsPerFrame() const;
};

// Reads an Annex B file and packetizes it (single NAL units, STAP-A for
// small ones, FU-A above 1400 bytes). False, with the reason, when the file
// cannot be read or holds no access unit.
bool LoadClip(const std::string& path, const std::string& name, Clip* clip, std::string* error);

// The same from bytes already in memory.
bool BuildClip(const std::vector<uint8_t>& annexB, const std::string& name, Clip* clip, std::string* error);

}  // namespace ingest
