// orvalen-capture: a reference host. It loads the driver the way a
// recording server does, records every URL to files and writes a summary.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capability_query.h"
#include "capture_options.h"
#include "console.h"
#include "host/orvalen_host.h"
#include "host_device.h"
#include "host_frames.h"
#include "log_sink.h"
#include "process.h"
#include "stream_recorder.h"
#include "summary.h"

namespace capture {
namespace {

using Clock = std::chrono::steady_clock;
using telvora::ipcapture::IIPCaptureDriver;
using telvora::ipcapture::IIPCaptureDriverEx5;
using telvora::ipcapture::IIPVideoCaptureEx2;
using CreateDriver = IIPCaptureDriver*(ORVALEN_CALL*)();
using DeleteDriver = void(ORVALEN_CALL*)(IIPCaptureDriver*);

struct Stream {
  uint32_t channel = 0;
  std::string dir;
  std::unique_ptr<StreamRecorder> recorder;
  bool opened = false;
  Clock::time_point openedAt;
  Clock::time_point closedAt;
};

struct Device {
  size_t number = 0;  // 1-based, in URL order
  CameraUrl url;
  std::string dir;
  std::unique_ptr<DeviceLogSink> log;
  HostFrameAllocator allocator;
  std::unique_ptr<HostDevice> host;
  HostStreamSettings settings;
  IIPCaptureDriverEx5* driver = nullptr;
  IIPVideoCaptureEx2* capture = nullptr;
  bool opened = false;
  std::vector<Stream> streams;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ConfigurationXml(Transport transport) {
  // Only a Default entry, so it applies to every device and video input.
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<Configuration>\n"
             "  <Default>\n"
             "    <VideoChannel>\n"
             "      <RTPMode>") +
         (transport == Transport::kTcp ? "RTPoverRTSP" : "UDP") +
         "</RTPMode>\n"
         "      <KeepAlive>1</KeepAlive>\n"
         "    </VideoChannel>\n"
         "  </Default>\n"
         "</Configuration>\n";
}

std::vector<DeviceReport> BuildReports(const std::vector<std::unique_ptr<Device>>& devices, Clock::time_point now) {
  std::vector<DeviceReport> reports;
  for (const auto& device : devices) {
    DeviceReport report;
    report.url = device->url.Public();
    report.opened = device->opened;
    LogCounts counts = device->log->Counts();
    report.log = counts.byLevel;
    report.framesNotReleased = device->allocator.Outstanding();
    for (const Stream& stream : device->streams) {
      StreamReport s;
      s.url = report.url;
      s.channel = stream.channel;
      s.opened = stream.opened;
      s.stats = stream.recorder->Stats();
      Clock::time_point end = stream.closedAt == Clock::time_point() ? now : stream.closedAt;
      s.durationS = stream.opened ? Seconds(end - stream.openedAt) : 0;
      s.onlineEvents = counts.onlineByChannel.count(stream.channel) ? counts.onlineByChannel[stream.channel] : 0;
      s.signalLostLines =
          counts.signalLostByChannel.count(stream.channel) ? counts.signalLostByChannel[stream.channel] : 0;
      s.log = counts.byLevel;
      report.streams.push_back(s);
    }
    reports.push_back(report);
  }
  return reports;
}

bool WriteSummaries(const std::vector<std::unique_ptr<Device>>& devices, const std::string& outDir,
                    Clock::time_point now) {
  std::vector<DeviceReport> reports = BuildReports(devices, now);
  std::string error;
  bool ok = true;
  if (reports.size() > 1) {
    for (size_t i = 0; i < reports.size(); ++i)
      if (!WriteTextFile(devices[i]->dir + "/summary.json", DeviceJson(reports[i]), &error)) ok = false;
  }
  if (!WriteTextFile(outDir + "/summary.json", SummaryJson(reports), &error)) ok = false;
  if (!ok) std::fprintf(stderr, "orvalen-capture: %s\n", error.c_str());
  return ok;
}

class Capture {
 public:
  explicit Capture(const Options& options) : options_(options), console_(StdoutIsTerminal()) {}

  int Run();

 private:
  bool PrepareFolders();
  void OpenDevices(CreateDriver create);
  void Record();
  void CloseDevices(DeleteDriver destroy);
  std::string StatusText(Clock::time_point now);
  void ShowNotices();
  int ExitStatus();

  const Options& options_;
  Console console_;
  std::vector<std::unique_ptr<Device>> devices_;
  uint64_t lastFrames_ = 0;
  uint64_t lastBytes_ = 0;
  Clock::time_point lastStatus_;
  std::atomic<bool> closing_{false};
};

bool Capture::PrepareFolders() {
  std::string error;
  if (!MakeDirectories(options_.outDir, &error)) {
    std::fprintf(stderr, "orvalen-capture: %s\n", error.c_str());
    return false;
  }
  for (size_t i = 0; i < options_.urls.size(); ++i) {
    std::unique_ptr<Device> device(new Device());
    device->number = i + 1;
    device->url = options_.urls[i];
    device->dir = options_.urls.size() > 1 ? options_.outDir + "/" + std::to_string(i + 1) : options_.outDir;
    std::string prefix = options_.urls.size() > 1 ? "[" + std::to_string(i + 1) + "] " : "";
    device->log.reset(new DeviceLogSink(&console_, prefix));
    for (uint32_t ch = 0; ch < options_.channels; ++ch) {
      Stream stream;
      stream.channel = ch;
      stream.dir = options_.channels > 1 ? device->dir + "/ch" + std::to_string(ch) : device->dir;
      if (!MakeDirectories(stream.dir, &error)) {
        std::fprintf(stderr, "orvalen-capture: %s\n", error.c_str());
        return false;
      }
      stream.recorder.reset(new StreamRecorder(stream.dir, !options_.noWrite, options_.frames));
      device->streams.push_back(std::move(stream));
    }
    devices_.push_back(std::move(device));
  }
  if (options_.transport != Transport::kDefault) {
    // The driver reads its transport from Orvalen.xml in the host's folder;
    // this run gets a folder of its own so no other file interferes.
    std::string hostDir = options_.outDir + "/host";
    if (!MakeDirectories(hostDir, &error) ||
        !WriteTextFile(hostDir + "/Orvalen.xml", ConfigurationXml(options_.transport), &error)) {
      std::fprintf(stderr, "orvalen-capture: %s\n", error.c_str());
      return false;
    }
    SetEnvironment("ORVALEN_HOST_DIR", hostDir + "/");
  }
  return true;
}

void Capture::OpenDevices(CreateDriver create) {
  for (auto& device : devices_) {
    const CameraUrl& url = device->url;
    std::string address = url.Public();
    device->host.reset(new HostDevice(address, url.port, url.user, url.password, options_.model, options_.channels));
    // Parameter 1 is the stream path; "/" rather than "" so that the driver
    // keeps the URL's port for a URL without a path.
    device->host->SetParameter(1, url.path.empty() ? "/" : url.path);
    device->host->SetParameter(2, url.rtpOnly ? "1" : "0");
    IIPCaptureDriver* created = create();
    if (created == nullptr) {
      device->log->Note("the driver created no driver object for " + address);
      continue;
    }
    // One object serves every interface version.
    device->driver = static_cast<IIPCaptureDriverEx5*>(created);
    if (!device->driver->Open(device->log.get(), &device->allocator, device->host.get())) {
      device->log->Note("the driver refused to open " + address);
      continue;
    }
    device->opened = true;
    device->capture = device->driver->GetVideoCaptureEx2();
    if (device->capture == nullptr) {
      device->log->Note("the driver gave no video capture object for " + address);
      continue;
    }
    for (Stream& stream : device->streams) {
      stream.recorder->MarkOpened();
      stream.openedAt = Clock::now();
      stream.opened = device->capture->OpenChannel(stream.channel, stream.recorder.get(), &device->settings);
      if (!stream.opened)
        device->log->Note("the driver opened no stream on channel " + std::to_string(stream.channel) + " of " +
                          address + " (OpenChannel failed)");
    }
  }
}

std::string Capture::StatusText(Clock::time_point now) {
  uint64_t frames = 0, keyFrames = 0, bytes = 0;
  size_t streams = 0, streaming = 0, withFrames = 0;
  for (auto& device : devices_) {
    for (Stream& stream : device->streams) {
      ++streams;
      StreamStats stats = stream.recorder->Stats();
      frames += stats.frames;
      keyFrames += stats.keyFrames;
      bytes += stats.bytes;
      if (stats.frames > 0) ++withFrames;
      int32_t state = 2, detail = 0;
      if (stream.opened && device->capture != nullptr &&
          device->capture->GetChannelState(stream.channel, &state, &detail, nullptr, 0) && state == 0)
        ++streaming;
    }
  }
  double elapsed = Seconds(now - lastStatus_);
  double fps = elapsed > 0 ? static_cast<double>(frames - lastFrames_) / elapsed : 0;
  double kbits = elapsed > 0 ? static_cast<double>(bytes - lastBytes_) * 8 / 1000 / elapsed : 0;
  lastFrames_ = frames;
  lastBytes_ = bytes;
  lastStatus_ = now;
  const char* state = fps > 0 ? "streaming" : (withFrames > 0 ? "no frames" : "connecting");
  if (streaming == 0 && withFrames > 0 && fps == 0) state = "signal lost";
  char text[256];
  if (streams == 1) {
    std::snprintf(text, sizeof(text), "%-11s %6.1f fps %8.0f kbit/s  frames %llu  key frames %llu", state, fps,
                  kbits, static_cast<unsigned long long>(frames), static_cast<unsigned long long>(keyFrames));
  } else {
    std::snprintf(text, sizeof(text), "%-11s %zu/%zu streams  %6.1f fps %8.0f kbit/s  frames %llu  key frames %llu",
                  state, streaming, streams, fps, kbits, static_cast<unsigned long long>(frames),
                  static_cast<unsigned long long>(keyFrames));
  }
  return text;
}

void Capture::ShowNotices() {
  for (auto& device : devices_) {
    for (Stream& stream : device->streams) {
      std::string notices = stream.recorder->TakeNotice();
      size_t start = 0;
      while (start < notices.size()) {
        size_t end = notices.find('\n', start);
        if (end == std::string::npos) end = notices.size();
        device->log->Note("channel " + std::to_string(stream.channel) + ": " + notices.substr(start, end - start));
        start = end + 1;
      }
    }
  }
}

void Capture::Record() {
  Clock::time_point start = Clock::now();
  lastStatus_ = start;
  Clock::time_point nextStatus = start + std::chrono::seconds(1);
  for (;;) {
    int signal = WaitStopSignal(100);
    if (signal != 0) {
      console_.FinishStatus();
      console_.Line(std::string("[capture] ") + (signal == 2 ? "SIGINT" : "SIGTERM") + ": closing");
      break;
    }
    Clock::time_point now = Clock::now();
    if (options_.durationS > 0 && Seconds(now - start) >= options_.durationS) break;
    if (options_.frames > 0) {
      bool all = true;
      for (auto& device : devices_)
        for (Stream& stream : device->streams) all = all && stream.opened && stream.recorder->LimitReached();
      if (all) break;
    }
    ShowNotices();
    if (now >= nextStatus) {
      nextStatus += std::chrono::seconds(1);
      std::string status = StatusText(now);
      if (!options_.quiet) console_.Status(status);
    }
  }
  console_.FinishStatus();
}

void Capture::CloseDevices(DeleteDriver destroy) {
  // A second stop signal while the driver closes writes the summary and
  // leaves at once, for a driver that does not stop.
  closing_ = true;
  std::atomic<bool> closed{false};
  std::thread watchdog([this, &closed] {
    while (!closed.load()) {
      if (WaitStopSignal(200) != 0) {
        std::fprintf(stderr, "orvalen-capture: second stop signal, leaving without a clean close\n");
        WriteSummaries(devices_, options_.outDir, Clock::now());
        std::_Exit(1);
      }
    }
  });
  for (auto& device : devices_) device->log->BeginClosing();
  for (auto& device : devices_) {
    if (device->capture != nullptr) {
      for (Stream& stream : device->streams) {
        if (stream.opened) device->capture->CloseChannel(stream.channel);
        stream.closedAt = Clock::now();
        stream.recorder->CloseFile();
      }
    }
    if (device->driver != nullptr) {
      device->driver->Close();
      destroy(device->driver);
      device->driver = nullptr;
      device->capture = nullptr;
    }
    if (device->allocator.Outstanding() != 0)
      device->log->Note(std::to_string(device->allocator.Outstanding()) +
                        " frames were created by the driver and never released");
  }
  closed = true;
  watchdog.join();
  ShowNotices();
}

int Capture::ExitStatus() {
  bool ok = true;
  for (auto& device : devices_) {
    for (Stream& stream : device->streams) {
      StreamStats stats = stream.recorder->Stats();
      uint64_t wanted = options_.frames > 0 ? options_.frames : 1;
      if (!stream.opened || stats.frames < wanted) {
        ok = false;
        std::string what = stats.frames == 0 ? "no frame" : "only " + std::to_string(stats.frames) + " frames";
        device->log->Note(what + " recorded from " + device->url.Public() +
                          (options_.channels > 1 ? " channel " + std::to_string(stream.channel) : ""));
      }
    }
  }
  return ok ? 0 : 1;
}

int Capture::Run() {
  std::string libraryPath;
  const char* given = std::getenv("ORVALEN_DRIVER");
  libraryPath = (given != nullptr && given[0] != '\0') ? given : OwnDirectory() + "Orvalen.so";
  std::string error;
  void* library = OpenLibrary(libraryPath, &error);
  if (library == nullptr) {
    std::fprintf(stderr, "orvalen-capture: cannot load the driver %s: %s\n", libraryPath.c_str(), error.c_str());
    return 1;
  }
  if (options_.capabilities) {
    int status = RunCapabilityQuery(library, options_.urls[0]);
    CloseLibrary(library);
    return status;
  }
  CreateDriver create = reinterpret_cast<CreateDriver>(LibrarySymbol(library, "CreateIPCaptureEx5"));
  DeleteDriver destroy = reinterpret_cast<DeleteDriver>(LibrarySymbol(library, "DeleteIPCaptureEx5"));
  if (create == nullptr || destroy == nullptr) {
    std::fprintf(stderr, "orvalen-capture: %s does not export CreateIPCaptureEx5 and DeleteIPCaptureEx5\n",
                 libraryPath.c_str());
    CloseLibrary(library);
    return 1;
  }
  if (!PrepareFolders()) {
    CloseLibrary(library);
    return 1;
  }
  // Before any driver thread exists, so that all of them inherit the mask.
  BlockStopSignals();
  OpenDevices(create);
  bool anyOpen = false;
  for (auto& device : devices_)
    for (Stream& stream : device->streams) anyOpen = anyOpen || stream.opened;
  if (anyOpen) Record();
  CloseDevices(destroy);
  WriteSummaries(devices_, options_.outDir, Clock::now());

  uint64_t frames = 0, keyFrames = 0, bytes = 0;
  for (auto& device : devices_)
    for (Stream& stream : device->streams) {
      StreamStats stats = stream.recorder->Stats();
      frames += stats.frames;
      keyFrames += stats.keyFrames;
      bytes += stats.bytes;
    }
  int status = ExitStatus();
  console_.Line("[capture] " + std::to_string(frames) + " frames (" + std::to_string(keyFrames) + " key frames, " +
                std::to_string(bytes) + " bytes); summary in " + options_.outDir + "/summary.json");
  // The driver's threads have ended with Close; unloading is safe now.
  CloseLibrary(library);
  return status;
}

}  // namespace
}  // namespace capture

int main(int argc, char** argv) {
  capture::Options options;
  std::string error;
  if (!capture::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "orvalen-capture: %s\n(orvalen-capture --help lists the options)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(capture::UsageText(), stdout);
    return 0;
  }
  try {
    capture::Capture run(options);
    return run.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvalen-capture: %s\n", e.what());
    return 1;
  }
}
