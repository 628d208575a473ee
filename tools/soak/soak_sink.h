// The soak's view of faults from one channel: what each fault is, and the
// frame sink that times the gaps a fault causes, checks frame stamps after
// a wall-clock step and keeps samples for the decoder; and the log sink.
#pragma once

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/orvalen_host.h"
#include "host_frames.h"
#include "stream_recorder.h"

namespace soak {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The start of the run, for the seconds in the log.
inline Clock::time_point Started() {
  static const Clock::time_point started = Clock::now();
  return started;
}

enum class Kind {
  kRestart, kReset, kStall, kLoss, kHostStall, kReopen, kRotateNonce, kStepClock, kMove, kSender
};
inline const char* KindName(Kind k) {
  switch (k) {
    case Kind::kRestart: return "restart-camera";
    case Kind::kReset: return "reset-connection";
    case Kind::kStall: return "stall-connection";
    case Kind::kLoss: return "drop-5%";
    case Kind::kHostStall: return "stall-OnFrame";
    case Kind::kReopen: return "close-reopen";
    case Kind::kRotateNonce: return "rotate-nonce";
    case Kind::kStepClock: return "step-clock";
    case Kind::kMove: return "change-address";
    case Kind::kSender: return "restart-sender";
  }
  return "?";
}

struct Fault {
  Kind kind;
  Clock::time_point start;
  Clock::time_point end;  // set once the fault is over
  bool ended = false;
  double maxGapS = 0;     // longest time between two frames since start
  bool recovered = false;
  double recoveryS = 0;   // fault end to the first frame after it
  double lostBeyondS = 0;
  // The outage the fault itself causes; < 0: from start to end. Faults that
  // cause none are watched for a while after they start, and a gap longer
  // than the stream's own jitter then counts as lost.
  double outageS = -1;
};

// A gap between two frames that a healthy 10 fps stream on a loaded machine
// can show; only beyond it does a fault without an outage lose video.
constexpr double kJitterS = 1.0;
// Frame stamps are judged once the driver had this long after a step ...
constexpr double kStampSettleS = 3.0;
// ... and count as off the stepped wall clock beyond this.
constexpr double kStampToleranceS = 2.0;

// When the wall clock was last stepped, on the steady clock (its ticks).
inline std::atomic<Clock::rep> g_lastStep{0};

// Seconds since 1970 of the wall clock as this process sees it (stepped).
inline double WallNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double StampSeconds(const SYSTEMTIME& t) {
  struct tm parts = {};
  parts.tm_year = t.wYear - 1900;
  parts.tm_mon = t.wMonth - 1;
  parts.tm_mday = t.wDay;
  parts.tm_hour = t.wHour;
  parts.tm_min = t.wMinute;
  parts.tm_sec = t.wSecond;
  return static_cast<double>(timegm(&parts)) + t.wMilliseconds / 1000.0;
}

// The frame sink of one channel. OnFrame runs on the driver's threads.
class Sink : public telvora::IHostFrameSink {
 public:
  // The sample file is opened at once so that it counts in every
  // descriptor figure alike.
  explicit Sink(const std::string& samplePath) : samplePath_(samplePath) {
    sample_ = std::fopen(samplePath_.c_str(), "wb");
  }
  ~Sink() override {
    if (sample_ != nullptr) std::fclose(sample_);
  }

  bool OnFrame(telvora::IVideoFrame* frame) override {
    const Clock::time_point now = Clock::now();
    if (stallMs_.exchange(0) != 0) {
      // The host's own hiccup: this call does not come back for 2 s.
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Fault& f : pending_)
          if (f.kind == Kind::kHostStall && !f.ended) f.start = now;
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
      std::lock_guard<std::mutex> lock(mutex_);
      for (Fault& f : pending_)
        if (f.kind == Kind::kHostStall && !f.ended) {
          f.end = Clock::now();
          f.ended = true;
        }
    }
    auto* ours = dynamic_cast<capture::HostFrame*>(frame);
    std::lock_guard<std::mutex> lock(mutex_);
    ++frames_;
    if (ours != nullptr && ours->HasTime()) CheckStamp(now, ours->Time());
    const Clock::time_point previous = last_;
    last_ = now;
    for (Fault& f : pending_) {
      if (now <= f.start) continue;
      const Clock::time_point from = previous > Clock::time_point() ? previous : f.start;
      f.maxGapS = std::max(f.maxGapS, Seconds(now - from));
      if (f.ended && now >= f.end && !f.recovered) {
        f.recovered = true;
        f.recoveryS = Seconds(now - f.end);
        const double outage = f.outageS >= 0 ? f.outageS + kJitterS : Seconds(f.end - f.start);
        f.lostBeyondS = std::max(0.0, f.maxGapS - outage);
        done_.push_back(f);
        armSample_ = true;
      }
    }
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [](const Fault& f) { return f.recovered; }),
                   pending_.end());
    if (ours != nullptr) Keep(*ours);
    return true;
  }
  void Reserved1() override {}
  void OnSignalLost() override { ++signalLost_; }

  void Begin(Kind kind, Clock::time_point start, double outageS = -1) {
    std::lock_guard<std::mutex> lock(mutex_);
    Fault f;
    f.kind = kind;
    f.start = start;
    f.outageS = outageS;
    pending_.push_back(f);
  }
  void End(Kind kind, Clock::time_point end) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Fault& f : pending_)
      if (f.kind == kind && !f.ended) {
        f.end = end;
        f.ended = true;
      }
  }
  void StallNextFrame() { stallMs_ = 2000; }
  bool Busy() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !pending_.empty();
  }
  Clock::time_point LastFrame() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }
  uint64_t Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  // Faults that ended; those never followed by a frame count as not
  // recovered.
  std::vector<Fault> Results() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Fault> all = done_;
    for (const Fault& f : pending_) all.push_back(f);
    return all;
  }
  void CloseSample() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sample_ != nullptr) std::fclose(sample_);
    sample_ = nullptr;
  }
  uint64_t Sampled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sampled_;
  }
  std::string Codec() {
    std::lock_guard<std::mutex> lock(mutex_);
    return codec_;
  }
  const std::string& SamplePath() const { return samplePath_; }
  // Frames whose stamps were compared with the stepped wall clock, and
  // those found off it.
  uint64_t StampsChecked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stampsChecked_;
  }
  uint64_t StampsOff() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stampsOff_;
  }
  double WorstStampOffS() {
    std::lock_guard<std::mutex> lock(mutex_);
    return worstStampOffS_;
  }

 private:
  // While a clock step is watched on this channel, a frame that comes once
  // the driver had time to notice must carry the new wall clock's time.
  void CheckStamp(Clock::time_point now, const SYSTEMTIME& stamp) {
    for (const Fault& f : pending_) {
      if (f.kind != Kind::kStepClock) continue;
      const Clock::time_point stepped{Clock::duration(g_lastStep.load())};
      if (Seconds(now - std::max(f.start, stepped)) < kStampSettleS) return;
      const double off = std::abs(StampSeconds(stamp) - WallNow());
      ++stampsChecked_;
      worstStampOffS_ = std::max(worstStampOffS_, off);
      if (off > kStampToleranceS) ++stampsOff_;
      return;
    }
  }

  // Keeps 20 frames from a key frame after the start and after each
  // recovery, so the decoder sees the stream where faults could spoil it.
  void Keep(const capture::HostFrame& frame) {
    static const int kWindow = 20;
    static const long kMaxBytes = 4L << 20;
    const uint32_t code = frame.Format();
    if (codec_.empty()) codec_ = capture::StreamRecorder::CodecForCode(code);
    if (window_ == 0 && armSample_ && capture::StreamRecorder::IsKeyCode(code)) {
      window_ = kWindow;
      armSample_ = false;
    }
    if (window_ == 0 || sampleBytes_ > kMaxBytes || frame.Size() == 0) return;
    if (sample_ == nullptr) return;
    std::fwrite(frame.Data(), 1, frame.Size(), sample_);
    sampleBytes_ += frame.Size();
    ++sampled_;
    --window_;
  }

  std::string samplePath_;
  std::mutex mutex_;
  std::atomic<unsigned> stallMs_{0};
  std::atomic<uint64_t> signalLost_{0};
  uint64_t frames_ = 0;
  Clock::time_point last_;
  std::vector<Fault> pending_;
  std::vector<Fault> done_;
  FILE* sample_ = nullptr;
  bool armSample_ = true;
  int window_ = 0;
  long sampleBytes_ = 0;
  uint64_t sampled_ = 0;
  std::string codec_;
  uint64_t stampsChecked_ = 0;
  uint64_t stampsOff_ = 0;
  double worstStampOffS_ = 0;
};

// A quiet log sink: counts lines by level and keeps every line but the
// dropped-packet ones in the run's log file, with the seconds since start.
class LogSink : public telvora::IHostLogSink {
 public:
  LogSink(FILE* file, int channel) : file_(file), channel_(channel) {}
  void Write(CDebugInfoIf* info) override {
    if (info == nullptr) return;
    const int level = info->GetLevel();
    if (level == 1) ++errors_;
    if (level == 2) ++warnings_;
    if (level != 4 && file_ != nullptr) {
      const char* text = info->GetText();
      std::fprintf(file_, "%9.3f ch%d [%d] %s\n", Seconds(Clock::now() - Started()), channel_, level,
                   text != nullptr ? text : "");
    }
  }
  uint64_t Errors() const { return errors_.load(); }
  uint64_t Warnings() const { return warnings_.load(); }

 private:
  FILE* file_;
  int channel_;
  std::atomic<uint64_t> errors_{0};
  std::atomic<uint64_t> warnings_{0};
};

}  // namespace soak
