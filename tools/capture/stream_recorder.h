// The frame sink of one stream: checks each frame the driver hands over,
// appends it to the media file of its codec and keeps the statistics of the
// summary. The media file holds the frames as handed over, except that the
// delimiter ending the last H.264 frame is left out. OnFrame and OnSignalLost run on the driver's delivery threads;
// the getters on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "host/orvalen_host.h"

namespace capture {

struct StreamStats {
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t bytes = 0;
  uint64_t badFrames = 0;  // refused: not ours, empty, oversized, unknown code or bad start
  std::map<std::string, uint64_t> formatCodes;
  uint32_t width = 0;
  uint32_t height = 0;
  double firstFrameMs = -1;  // from OpenChannel; -1 before the first frame
  double maxGapMs = 0;
  double lastFrameMs = -1;  // from OpenChannel
  uint64_t signalLost = 0;
  std::string codec;  // "h264", "jpeg", "mpeg4" once a frame came
  std::string file;   // file name inside the stream folder, "" while none
  std::string firstFrameTime;  // frame time stamps, ISO 8601 UTC
  std::string lastFrameTime;
};

class StreamRecorder : public telvora::IHostFrameSink {
 public:
  using Clock = std::chrono::steady_clock;

  // dir: folder of this stream's media file; write false counts only.
  // frameLimit 0 keeps every frame; otherwise frames past it are accepted
  // but neither counted nor written.
  StreamRecorder(const std::string& dir, bool write, uint64_t frameLimit);
  ~StreamRecorder() override;

  // The moment OpenChannel was called, for first_frame_ms.
  void MarkOpened();

  bool OnFrame(telvora::IVideoFrame* frame) override;
  void Reserved1() override {}
  void OnSignalLost() override;

  StreamStats Stats() const;
  bool LimitReached() const;
  // Closes the media file; later frames are only counted.
  void CloseFile();

  // One-off problems worth a console line each (file error, bad frame),
  // separated by newlines; "" when none is pending.
  std::string TakeNotice();

  // Which file a format code goes to; "" for an unknown code.
  static const char* FileForCode(uint32_t code);
  static const char* CodecForCode(uint32_t code);
  static bool IsKeyCode(uint32_t code);
  // Whether the bytes begin as a frame of that code must: an Annex B or
  // MPEG-4 start code, or a JPEG start-of-image marker.
  static bool StartsLikeCode(uint32_t code, const uint8_t* data, uint32_t size);

 private:
  void NoteOnce(const std::string& text);
  // Appends one frame to the open file; false on a write error.
  bool WriteMedia(uint32_t code, const uint8_t* data, uint32_t size);

  std::string dir_;
  bool write_;
  uint64_t frameLimit_;
  mutable std::mutex mutex_;
  StreamStats stats_;
  FILE* file_ = nullptr;
  bool fileFailed_ = false;
  bool closed_ = false;
  bool heldDelimiter_ = false;  // an H.264 delimiter waits for its frame
  Clock::time_point opened_;
  Clock::time_point lastFrame_;
  std::string notice_;
  std::map<std::string, bool> noticed_;
};

}  // namespace capture
