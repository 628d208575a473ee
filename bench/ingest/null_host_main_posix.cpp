// ingest-host: a recording server reduced to its driver calls. It loads
// Orvalen.so, opens one RTP-only device per port (127.0.0.1, ports
// base, base+2, ...), or with --transport tcp one RTSP device per port
// (path /stream, RTP interleaved in the RTSP connection), and on SIGINT or SIGTERM closes them and writes what
// it saw into the output folder:
//   ready         written once every channel is open and idle for a second
//   host.txt      "key value" lines: RSS figures, frames, log line counts
//   arrivals.bin  one Arrival record (null_sink.h) per tagged frame
#include <dlfcn.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host_device.h"
#include "null_sink.h"

namespace {

using telvora::ipcapture::IIPCaptureDriver;
using telvora::ipcapture::IIPCaptureDriverEx5;
using telvora::ipcapture::IIPVideoCaptureEx2;
using CreateDriver = IIPCaptureDriver*(ORVALEN_CALL*)();
using DeleteDriver = void(ORVALEN_CALL*)(IIPCaptureDriver*);

long RssKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  return 0;
}

struct Device {
  std::unique_ptr<capture::HostDevice> host;
  capture::HostStreamSettings settings;
  ingest::PoolAllocator allocator;
  ingest::CountingLog log;
  std::unique_ptr<ingest::TaggingSink> sink;
  IIPCaptureDriverEx5* driver = nullptr;
  IIPVideoCaptureEx2* capture = nullptr;
  bool opened = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: ingest-host --driver Orvalen.so --base-port P --streams N --out DIR [--max-frames F]\n"
               "                   [--transport udp|tcp]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string driverPath, out, transport = "udp";
  long basePort = 0, streams = 0, maxFrames = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--driver") driverPath = value;
    else if (name == "--out") out = value;
    else if (name == "--base-port") basePort = std::atol(value);
    else if (name == "--streams") streams = std::atol(value);
    else if (name == "--max-frames") maxFrames = std::atol(value);
    else if (name == "--transport") transport = value;
    else return Usage();
  }
  if (driverPath.empty() || out.empty() || basePort <= 0 || streams <= 0 || basePort + 2 * streams > 65535 ||
      (transport != "udp" && transport != "tcp"))
    return Usage();
  const bool tcp = transport == "tcp";
  if (tcp) {
    // The driver takes its transport from Orvalen.xml in the host's folder;
    // this run's output folder stands in for it.
    std::ofstream xml(out + "/Orvalen.xml");
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Configuration>\n  <Default>\n    <VideoChannel>\n"
           "      <RTPMode>RTPoverRTSP</RTPMode>\n      <KeepAlive>1</KeepAlive>\n    </VideoChannel>\n"
           "  </Default>\n</Configuration>\n";
    if (!xml) {
      std::fprintf(stderr, "ingest-host: cannot write %s/Orvalen.xml\n", out.c_str());
      return 1;
    }
    setenv("ORVALEN_HOST_DIR", (out + "/").c_str(), 1);
  }

  // Before any driver thread exists, so that only sigtimedwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  void* library = dlopen(driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "ingest-host: cannot load %s: %s\n", driverPath.c_str(), dlerror());
    return 1;
  }
  CreateDriver create = reinterpret_cast<CreateDriver>(dlsym(library, "CreateIPCaptureEx5"));
  DeleteDriver destroy = reinterpret_cast<DeleteDriver>(dlsym(library, "DeleteIPCaptureEx5"));
  if (create == nullptr || destroy == nullptr) {
    std::fprintf(stderr, "ingest-host: %s lacks CreateIPCaptureEx5/DeleteIPCaptureEx5\n", driverPath.c_str());
    return 1;
  }

  const long rssBefore = RssKib();
  std::vector<std::unique_ptr<Device>> devices;
  size_t open = 0;
  for (long i = 0; i < streams; ++i) {
    std::unique_ptr<Device> d(new Device());
    const uint16_t port = static_cast<uint16_t>(basePort + 2 * i);
    d->host.reset(new capture::HostDevice("127.0.0.1", port, "", "", "ingest", 1));
    d->host->SetParameter(1, tcp ? "/stream" : "/");
    d->host->SetParameter(2, tcp ? "0" : "1");  // RTSP, or a bare RTP stream
    d->sink.reset(new ingest::TaggingSink(static_cast<uint32_t>(i), static_cast<size_t>(maxFrames)));
    IIPCaptureDriver* created = create();
    if (created != nullptr) {
      d->driver = static_cast<IIPCaptureDriverEx5*>(created);
      if (d->driver->Open(&d->log, &d->allocator, d->host.get())) {
        d->capture = d->driver->GetVideoCaptureEx2();
        if (d->capture != nullptr) d->opened = d->capture->OpenChannel(0, d->sink.get(), &d->settings);
      }
    }
    if (d->opened) ++open;
    else std::fprintf(stderr, "ingest-host: no channel on port %u\n", unsigned(port));
    devices.push_back(std::move(d));
  }

  timespec second = {1, 0};
  nanosleep(&second, nullptr);
  const long rssIdle = RssKib();
  {
    std::ofstream ready(out + "/ready");
    ready << "open " << open << "\n";
  }

  long rssPeak = rssIdle;
  long driverPeak = rssIdle;  // the process without the host's frame buffers
  int signal = 0;
  while (signal <= 0) {
    timespec wait = {0, 250 * 1000 * 1000};
    signal = sigtimedwait(&stopSignals, nullptr, &wait);
    int64_t frameBytes = 0;
    for (auto& d : devices) frameBytes += d->allocator.ResidentBytes();
    const long rss = RssKib();
    if (rss > rssPeak) rssPeak = rss;
    if (rss - frameBytes / 1024 > driverPeak) driverPeak = rss - static_cast<long>(frameBytes / 1024);
  }

  for (auto& d : devices) {
    if (d->capture != nullptr && d->opened) d->capture->CloseChannel(0);
    if (d->driver != nullptr) {
      d->driver->Close();
      destroy(d->driver);
      d->driver = nullptr;
    }
  }

  std::ofstream results(out + "/host.txt");
  results << "streams " << streams << "\nopen " << open << "\nrss_before_kib " << rssBefore << "\nrss_idle_kib "
          << rssIdle << "\nrss_peak_kib " << rssPeak << "\nrss_peak_without_frames_kib " << driverPeak << "\n";
  uint64_t frames = 0, untagged = 0, signalLost = 0, errors = 0, warnings = 0, outstanding = 0;
  FILE* arrivals = std::fopen((out + "/arrivals.bin").c_str(), "wb");
  for (auto& d : devices) {
    frames += d->sink->Frames();
    untagged += d->sink->Untagged();
    signalLost += d->sink->SignalLost();
    errors += d->log.Count(1);
    warnings += d->log.Count(2);
    outstanding += static_cast<uint64_t>(d->allocator.Outstanding());
    const auto& a = d->sink->Arrivals();
    if (arrivals != nullptr && !a.empty()) std::fwrite(a.data(), sizeof(a[0]), a.size(), arrivals);
  }
  if (arrivals != nullptr) std::fclose(arrivals);
  results << "frames " << frames << "\nuntagged " << untagged << "\nsignal_lost " << signalLost << "\nlog_errors "
          << errors << "\nlog_warnings " << warnings << "\nframes_not_released " << outstanding << "\n";
  size_t shown = 0;
  for (auto& d : devices)
    for (const std::string& line : d->log.Kept())
      if (shown++ < 10) results << "log " << line << "\n";
  results.close();
  devices.clear();
  dlclose(library);
  return 0;
}
