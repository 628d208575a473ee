#include "stream_recorder.h"

#include <cerrno>
#include <cstring>

#include "host_frames.h"

namespace capture {

namespace {

std::string IsoTime(const SYSTEMTIME& t) {
  char text[64];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

}  // namespace

StreamRecorder::StreamRecorder(const std::string& dir, bool write, uint64_t frameLimit)
    : dir_(dir), write_(write), frameLimit_(frameLimit), opened_(Clock::now()) {}

StreamRecorder::~StreamRecorder() { CloseFile(); }

void StreamRecorder::MarkOpened() {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = Clock::now();
}

const char* StreamRecorder::FileForCode(uint32_t code) {
  if (code == FourCC("H264") || code == FourCC("I264")) return "stream.h264";
  if (code == FourCC("JPEG")) return "stream.mjpeg";
  if (code == FourCC("DIVX") || code == FourCC("DIVI")) return "stream.m4v";
  return "";
}

const char* StreamRecorder::CodecForCode(uint32_t code) {
  if (code == FourCC("H264") || code == FourCC("I264")) return "h264";
  if (code == FourCC("JPEG")) return "jpeg";
  if (code == FourCC("DIVX") || code == FourCC("DIVI")) return "mpeg4";
  return "";
}

bool StreamRecorder::IsKeyCode(uint32_t code) {
  return code == FourCC("H264") || code == FourCC("JPEG") || code == FourCC("DIVX");
}

bool StreamRecorder::StartsLikeCode(uint32_t code, const uint8_t* data, uint32_t size) {
  if (data == nullptr) return false;
  if (code == FourCC("JPEG")) return size >= 4 && data[0] == 0xFF && data[1] == 0xD8;
  // H.264 Annex B and MPEG-4 part 2 both begin with 00 00 01 (H.264 may
  // have a fourth, leading zero).
  if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1) return true;
  return size >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1 && code != FourCC("DIVX") &&
         code != FourCC("DIVI");
}

void StreamRecorder::NoteOnce(const std::string& text) {
  // Bounded: a stream of ever different faults cannot grow this without end.
  if (noticed_.count(text) != 0 || noticed_.size() >= 64) return;
  noticed_[text] = true;
  if (!notice_.empty()) notice_ += '\n';
  notice_ += text;
}

bool StreamRecorder::OnFrame(telvora::IVideoFrame* frame) {
  HostFrame* ours = dynamic_cast<HostFrame*>(frame);
  std::lock_guard<std::mutex> lock(mutex_);
  if (ours == nullptr) {
    ++stats_.badFrames;
    NoteOnce("the driver handed over a frame that is not one of this host's");
    return false;
  }
  uint32_t code = ours->Format();
  uint32_t size = ours->Size();
  const char* fileName = FileForCode(code);
  if (size == 0 || size > ours->Capacity()) {
    ++stats_.badFrames;
    NoteOnce("frame size " + std::to_string(size) + " outside its buffer of " + std::to_string(ours->Capacity()));
    return false;
  }
  if (fileName[0] == '\0') {
    ++stats_.badFrames;
    NoteOnce("frame with unknown format code " + FourCCText(code));
    return false;
  }
  if (!StartsLikeCode(code, ours->Data(), size)) {
    ++stats_.badFrames;
    NoteOnce("a " + FourCCText(code) + " frame does not begin with its start code");
    return false;
  }
  if (frameLimit_ != 0 && stats_.frames >= frameLimit_) return true;

  Clock::time_point now = Clock::now();
  double sinceOpen = std::chrono::duration<double, std::milli>(now - opened_).count();
  if (stats_.frames == 0) {
    stats_.firstFrameMs = sinceOpen;
  } else {
    double gap = std::chrono::duration<double, std::milli>(now - lastFrame_).count();
    if (gap > stats_.maxGapMs) stats_.maxGapMs = gap;
  }
  lastFrame_ = now;
  stats_.lastFrameMs = sinceOpen;
  ++stats_.frames;
  if (IsKeyCode(code)) ++stats_.keyFrames;
  stats_.bytes += size;
  ++stats_.formatCodes[FourCCText(code)];
  if (ours->Width() != 0) stats_.width = ours->Width();
  if (ours->Height() != 0) stats_.height = ours->Height();
  if (ours->HasTime()) {
    stats_.lastFrameTime = IsoTime(ours->Time());
    if (stats_.firstFrameTime.empty()) stats_.firstFrameTime = stats_.lastFrameTime;
  }
  if (stats_.codec.empty()) {
    stats_.codec = CodecForCode(code);
  } else if (stats_.codec != CodecForCode(code)) {
    NoteOnce("the codec changed from " + stats_.codec + " to " + CodecForCode(code) + "; those frames are not written");
    return true;
  }

  if (write_ && !closed_ && !fileFailed_) {
    if (file_ == nullptr) {
      std::string path = dir_ + "/" + fileName;
      file_ = std::fopen(path.c_str(), "wb");
      if (file_ == nullptr) {
        fileFailed_ = true;
        NoteOnce("cannot write " + path + ": " + std::strerror(errno));
      } else {
        stats_.file = fileName;
      }
    }
    if (file_ != nullptr && !WriteMedia(code, ours->Data(), size)) {
      fileFailed_ = true;
      NoteOnce(std::string("writing ") + fileName + " failed: " + std::strerror(errno));
    }
  }
  return true;
}

bool StreamRecorder::WriteMedia(uint32_t code, const uint8_t* data, uint32_t size) {
  static const uint8_t kDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};
  const uint32_t delimiterSize = sizeof(kDelimiter);
  if (heldDelimiter_) {
    if (std::fwrite(kDelimiter, 1, delimiterSize, file_) != delimiterSize) return false;
    heldDelimiter_ = false;
  }
  // H.264 frames end with an access unit delimiter, which belongs to the
  // frame after it. It is written with that frame, so the file does not end
  // on a delimiter without a picture, which decoders report as an error.
  bool isH264 = code == FourCC("H264") || code == FourCC("I264");
  if (isH264 && size > delimiterSize && std::memcmp(data + size - delimiterSize, kDelimiter, delimiterSize) == 0) {
    size -= delimiterSize;
    heldDelimiter_ = true;
  }
  return std::fwrite(data, 1, size, file_) == size;
}

void StreamRecorder::OnSignalLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stats_.signalLost;
}

StreamStats StreamRecorder::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

bool StreamRecorder::LimitReached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frameLimit_ != 0 && stats_.frames >= frameLimit_;
}

void StreamRecorder::CloseFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  if (file_ != nullptr) {
    if (std::fclose(file_) != 0) NoteOnce(std::string("closing ") + stats_.file + " failed");
    file_ = nullptr;
  }
}

std::string StreamRecorder::TakeNotice() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  text.swap(notice_);
  return text;
}

}  // namespace capture
