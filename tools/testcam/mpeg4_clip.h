// The MPEG-4 part 2 clip that the test camera loops. A live avenc_mpeg4
// pipeline inside the RTSP server regresses its time stamps and sends
// nothing, so the clip is encoded beforehand and replayed from memory with
// time stamps that keep rising across loops.
#pragma once

#include <gst/gst.h>

#include <string>
#include <vector>

namespace testcam {

class Mpeg4Clip {
 public:
  Mpeg4Clip() = default;
  ~Mpeg4Clip();
  Mpeg4Clip(const Mpeg4Clip&) = delete;
  Mpeg4Clip& operator=(const Mpeg4Clip&) = delete;

  // Encodes a clip with ffmpeg into a new temporary folder. Returns the MP4
  // path, or "" with *error set. The folder is removed by the destructor.
  std::string Generate(int width, int height, int fps, std::string* error);

  // Demuxes the MP4 into memory (qtdemux ! mpeg4videoparse). False with
  // *error set when it holds no MPEG-4 video.
  bool Load(const std::string& path, std::string* error);

  // Attaches a replay of the clip to an appsrc of a newly configured media.
  // Each media gets its own position, starting at time 0.
  void AttachTo(GstElement* appsrc) const;

  size_t FrameCount() const { return buffers_.size(); }

 private:
  std::vector<GstBuffer*> buffers_;
  GstCaps* caps_ = nullptr;
  GstClockTime loopDuration_ = 0;
  std::string tempDir_;
};

}  // namespace testcam
