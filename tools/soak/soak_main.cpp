// orvalen-soak: a day in the life of a recording server, shortened. It
// loads the driver through its exports, opens one device per channel
// against local test cameras (through fault proxies and lossy relays), runs
// a seeded schedule of faults and measures what each cost: video lost
// beyond the fault's own duration, frames that do not decode, recovery
// times, and the growth of memory, descriptors and threads.
//
// The faults: restart a camera, reset or stall a channel's connection, drop
// 5 % of its RTP datagrams, stall the host's OnFrame for 2 s, close and
// reopen a channel, rotate a Digest camera's nonce (its sessions' next
// keep-alive meets 401 stale), and step the wall clock forward or back for
// every channel at once (frames must keep coming and follow the new clock).
//
// Run inside a network namespace of its own (scripts/soak.sh makes one when
// it runs as root) and given that namespace's hosts file, it also addresses
// the RTSP cameras by name, moves them to other loopback addresses
// (change-address), and adds bare RTP channels that receive a multicast
// group from a sender in the lab (restart-sender, drop-5%, stall-OnFrame,
// close-reopen apply to them).
#include <malloc.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <time.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/orvalen_host.h"
#include "host_device.h"
#include "host_frames.h"
#include "process.h"
#include "soak_clock.h"
#include "soak_lab.h"
#include "soak_schedule.h"
#include "soak_sink.h"
#include "stream_recorder.h"

namespace soak {
namespace {

using telvora::ipcapture::IIPCaptureDriver;
using telvora::ipcapture::IIPCaptureDriverEx5;
using telvora::ipcapture::IIPVideoCaptureEx2;
using CreateDriver = IIPCaptureDriver*(ORVALEN_CALL*)();
using DeleteDriver = void(ORVALEN_CALL*)(IIPCaptureDriver*);

struct Options {
  int channels = 64;
  double minutes = 2;
  unsigned seed = 1;
  double intervalS = 3;
  std::string workDir = "soak-run";
  std::string report;  // RELIABILITY.md to update; "" leaves it
  std::string note;    // a line for the report, e.g. the sanitizer run's result
  std::string netnsHosts;  // the namespace's own hosts file; "" outside one
};

// ---------------------------------------------------------------------------
// What the process holds, from /proc/self and the C heap.

struct Resources {
  double rssMib = 0;
  double heapMib = 0;
  long fds = 0;
  long threads = 0;
};

long CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  long n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the one opendir holds
}

Resources Sample() {
  Resources r;
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  r.rssMib = static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
  struct mallinfo2 info = mallinfo2();
  r.heapMib = static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
  r.fds = CountEntries("/proc/self/fd");
  r.threads = CountEntries("/proc/self/task");
  return r;
}

std::string Describe(const Resources& r) {
  char text[160];
  std::snprintf(text, sizeof(text), "rss=%.1fMiB heap=%.1fMiB fds=%ld threads=%ld", r.rssMib, r.heapMib, r.fds,
                r.threads);
  return text;
}

struct Channel {
  int index = 0;
  int camera = 0;  // -1 for a multicast channel
  bool udp = false;
  std::string host;     // a name in the hosts file, for a camera that moves
  long hostsLine = -1;  // where its line starts in the hosts file
  unsigned moves = 0;
  std::string group;  // a multicast channel's group
  std::string codec;  // a multicast channel's codec
  std::unique_ptr<LogSink> log;
  std::unique_ptr<Sink> sink;
  capture::HostFrameAllocator allocator;
  std::unique_ptr<capture::HostDevice> device;
  capture::HostStreamSettings settings;
  IIPCaptureDriverEx5* driver = nullptr;
  IIPVideoCaptureEx2* capture = nullptr;
  bool open = false;
  uint64_t undecodable = 0;
};

// Lines of a camera's log that contain the text.
unsigned CountLines(const std::string& path, const char* text) {
  std::ifstream in(path);
  std::string line;
  unsigned n = 0;
  while (std::getline(in, line))
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Frames the decoder could read from a sample file.
long DecodedFrames(const std::string& path, const std::string& codec) {
  const char* format = codec == "h264" ? "h264" : codec == "jpeg" ? "mjpeg" : "m4v";
  std::string command = std::string("ffprobe -v quiet -f ") + format +
                        " -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 '" +
                        path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char line[64] = {0};
  long frames = -1;
  if (std::fgets(line, sizeof(line), pipe) != nullptr) frames = std::atol(line);
  pclose(pipe);
  return frames;
}

class Soak {
 public:
  explicit Soak(const Options& o) : o_(o) {}
  int Run();

 private:
  bool OpenChannel(Channel& c);
  void CloseChannel(Channel& c);
  void Apply(const Event& e);
  bool WaitAllStreaming(double timeoutS);
  void WriteReport(const std::string& table);
  bool MoveCamera(Channel& c);

  const Options& o_;
  Lab lab_;
  std::vector<Channel> channels_;
  std::vector<LabCamera> cameras_;
  CreateDriver create_ = nullptr;
  DeleteDriver destroy_ = nullptr;
  FILE* log_ = nullptr;
  unsigned cameraFailures_ = 0;
  std::vector<std::pair<Clock::time_point, int>> lossEnds_;  // relays to make whole again
  int hosts_ = -1;  // the namespace's hosts file, rewritten line by line
};

// Channel c's loopback address after `moves` moves: no two channels ever
// share one, so a door can always take its port along.
std::string LoopbackAddress(int channel, unsigned moves) {
  return "127." + std::to_string(10 + moves % 200) + "." + std::to_string(channel / 250 + 1) + "." +
         std::to_string(channel % 250 + 1);
}

// One line per name, all of one width, so that a move overwrites its line
// in place and a reader never sees the file short or empty.
std::string HostsLine(const std::string& address, const std::string& name) {
  char line[96];
  std::snprintf(line, sizeof(line), "%-15s %s\n", address.c_str(), name.c_str());
  return line;
}

// True when this process sees no network interface but loopback and
// hostsPath is the file "ip netns exec" mounts over /etc/hosts from
// /etc/netns/NAME: the file to rewrite is then the namespace's, never the
// machine's (/proc/1 may be closed even to root, so namespaces are not
// compared).
bool InOwnNetworkNamespace(const std::string& hostsPath) {
  struct if_nameindex* interfaces = if_nameindex();
  if (interfaces == nullptr) return false;
  bool onlyLoopback = true;
  for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i)
    if (std::strcmp(i->if_name, "lo") != 0) onlyLoopback = false;
  if_freenameindex(interfaces);
  if (!onlyLoopback) return false;
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (fields >> id >> parent >> device >> root >> point && point == hostsPath &&
        root.find("/netns/") != std::string::npos)
      return true;
  }
  return false;
}

bool Soak::MoveCamera(Channel& c) {
  const std::string address = LoopbackAddress(c.index, c.moves + 1);
  const std::string line = HostsLine(address, c.host);
  // The name points at the new address before the old one goes away, so
  // the driver's first reconnection finds it.
  if (pwrite(hosts_, line.data(), line.size(), c.hostsLine) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "soak: cannot rewrite %s for channel %d\n", o_.netnsHosts.c_str(), c.index);
    return false;
  }
  const std::string answer = lab_.Command("move " + std::to_string(c.index) + " " + address);
  if (answer != "ok") {
    std::fprintf(stderr, "soak: channel %d: %s\n", c.index, answer.c_str());
    return false;
  }
  ++c.moves;
  return true;
}

bool Soak::OpenChannel(Channel& c) {
  IIPCaptureDriver* created = create_();
  if (created == nullptr) return false;
  c.driver = static_cast<IIPCaptureDriverEx5*>(created);
  if (!c.driver->Open(c.log.get(), &c.allocator, c.device.get())) return false;
  c.capture = c.driver->GetVideoCaptureEx2();
  c.open = c.capture != nullptr && c.capture->OpenChannel(0, c.sink.get(), &c.settings);
  return c.open;
}

void Soak::CloseChannel(Channel& c) {
  if (c.capture != nullptr && c.open) c.capture->CloseChannel(0);
  c.open = false;
  if (c.driver != nullptr) {
    c.driver->Close();
    destroy_(c.driver);
  }
  c.driver = nullptr;
  c.capture = nullptr;
}

void Soak::Apply(const Event& e) {
  const Clock::time_point start = Clock::now();
  if (log_ != nullptr)
    std::fprintf(log_, "%9.3f chaos %s %s\n", Seconds(start - Started()), KindName(e.kind), TargetName(e).c_str());
  if (e.kind == Kind::kRestart) {
    for (Channel& c : channels_)
      if (c.camera == e.target) c.sink->Begin(e.kind, start);
    std::string answer = lab_.Command("restart " + std::to_string(e.target) + " 1000");
    if (answer != "ok") {
      ++cameraFailures_;
      std::fprintf(stderr, "soak: camera %d: %s\n", e.target, answer.c_str());
    }
    const Clock::time_point end = Clock::now();
    for (Channel& c : channels_)
      if (c.camera == e.target) c.sink->End(e.kind, end);
    return;
  }
  if (e.kind == Kind::kRotateNonce) {
    for (Channel& c : channels_)
      if (c.camera == e.target) c.sink->Begin(e.kind, start, 0);
    std::string answer = lab_.Command("rotate " + std::to_string(e.target));
    if (answer != "ok") std::fprintf(stderr, "soak: camera %d: %s\n", e.target, answer.c_str());
    for (Channel& c : channels_)
      if (c.camera == e.target) c.sink->End(e.kind, start + std::chrono::seconds(static_cast<long>(kRotateWatchS)));
    return;
  }
  if (e.kind == Kind::kStepClock) {
    // Channels still in another fault are not judged: its gaps are not the step's.
    for (Channel& c : channels_)
      if (!c.sink->Busy()) c.sink->Begin(e.kind, start, 0);
    g_lastStep = Clock::now().time_since_epoch().count();
    StepWallClock(e.stepS);
    for (Channel& c : channels_) c.sink->End(e.kind, start + std::chrono::seconds(static_cast<long>(kStepWatchS)));
    return;
  }
  Channel& c = channels_[static_cast<size_t>(e.target)];
  c.sink->Begin(e.kind, start);
  switch (e.kind) {
    case Kind::kReset:
      lab_.Command("reset " + std::to_string(c.index));
      c.sink->End(e.kind, Clock::now());
      break;
    case Kind::kStall:
      lab_.Command("stall " + std::to_string(c.index) + " 3000");
      c.sink->End(e.kind, start + std::chrono::seconds(3));
      break;
    case Kind::kLoss:
      lab_.Command("loss " + std::to_string(c.index) + " 0.05");
      lossEnds_.push_back({start + std::chrono::seconds(10), c.index});
      break;
    case Kind::kHostStall:
      c.sink->StallNextFrame();  // the sink ends the fault itself
      break;
    case Kind::kReopen:
      CloseChannel(c);
      if (!OpenChannel(c)) std::fprintf(stderr, "soak: channel %d did not reopen\n", c.index);
      c.sink->End(e.kind, Clock::now());
      break;
    case Kind::kMove:
      // The old connections are reset by the time the lab answers; the fault
      // lasts no longer than that, the rest is the driver finding the camera.
      MoveCamera(c);
      c.sink->End(e.kind, Clock::now());
      break;
    case Kind::kSender:
      if (lab_.Command("sender " + std::to_string(c.index) + " 1000") != "ok") {
        ++cameraFailures_;
        std::fprintf(stderr, "soak: the sender of channel %d did not come back\n", c.index);
      }
      c.sink->End(e.kind, Clock::now());
      break;
    default:
      break;
  }
}

bool Soak::WaitAllStreaming(double timeoutS) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutS * 1000));
  for (;;) {
    const Clock::time_point now = Clock::now();
    bool all = true;
    for (Channel& c : channels_) {
      const Clock::time_point last = c.sink->LastFrame();
      if (last == Clock::time_point() || Seconds(now - last) > 2) all = false;
    }
    if (all) return true;
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

const char* const kBegin = "<!-- soak table: written by scripts/soak.sh, replaced on each run -->";
const char* const kEnd = "<!-- end of soak table -->";

void Soak::WriteReport(const std::string& table) {
  std::ifstream in(o_.report);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  const std::string section = std::string(kBegin) + "\n" + table + kEnd + "\n";
  const size_t begin = text.find(kBegin);
  const size_t end = text.find(kEnd);
  if (begin != std::string::npos && end != std::string::npos && end > begin) {
    text.replace(begin, end + std::strlen(kEnd) + 1 - begin, section);
  } else {
    if (!text.empty() && text.back() != '\n') text += "\n";
    text += "\n## Soak and chaos\n\n" + section;
  }
  std::ofstream out(o_.report, std::ios::trunc);
  out << text;
}

int Soak::Run() {
  std::string error;
  if (!capture::MakeDirectories(o_.workDir, &error)) {
    std::fprintf(stderr, "orvalen-soak: %s\n", error.c_str());
    return 2;
  }
  // A camera of each codec with and without authentication, Basic and
  // Digest; each camera serves channels over UDP and interleaved.
  const LabCamera kinds[] = {{"h264", "none"}, {"jpeg", "basic"},   {"mpeg4", "digest"},
                             {"h264", "digest"}, {"jpeg", "none"}, {"mpeg4", "basic"}};
  const int cameraCount = std::min(6, o_.channels);
  LabPlan plan;
  plan.testcam = ORVALEN_SOAK_TESTCAM;
  plan.workDir = o_.workDir;
  plan.seed = o_.seed;
  for (int i = 0; i < cameraCount; ++i) plan.cameras.push_back(kinds[i]);
  cameras_ = plan.cameras;
  const bool namespaced = !o_.netnsHosts.empty();
  channels_ = std::vector<Channel>(static_cast<size_t>(o_.channels));
  std::string hostsText = HostsLine("127.0.0.1", "localhost");
  int multicastChannels = 0;
  for (int i = 0; i < o_.channels; ++i) {
    Channel& c = channels_[static_cast<size_t>(i)];
    c.index = i;
    c.camera = i % cameraCount;
    c.udp = (i / cameraCount) % 2 == 0;
    LabChannel lab;
    lab.camera = c.camera;
    lab.udp = c.udp;
    // One channel in eight, at least one, receives a multicast group; the
    // others reach their camera by a name that change-address moves.
    if (namespaced && (i % 8 == 7 || (o_.channels < 8 && i == o_.channels - 1))) {
      c.camera = -1;
      c.udp = false;
      c.codec = multicastChannels++ % 2 == 0 ? "h264" : "jpeg";
      c.group = "239.255." + std::to_string(i / 256) + "." + std::to_string(i % 256);
      lab = LabChannel{};
      lab.camera = -1;
      lab.group = (239u << 24) | (255u << 16) | static_cast<uint32_t>(i);
      lab.groupPort = static_cast<uint16_t>(21000 + 2 * i);
      lab.codec = c.codec;
    } else if (namespaced) {
      c.host = "cam" + std::to_string(i) + ".soak";
      c.hostsLine = static_cast<long>(hostsText.size());
      const std::string address = LoopbackAddress(i, 0);
      hostsText += HostsLine(address, c.host);
      in_addr parsed{};
      inet_pton(AF_INET, address.c_str(), &parsed);
      lab.address = ntohl(parsed.s_addr);
    }
    plan.channels.push_back(lab);
  }
  if (namespaced) {
    hosts_ = open(o_.netnsHosts.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (hosts_ < 0 || write(hosts_, hostsText.data(), hostsText.size()) != static_cast<ssize_t>(hostsText.size())) {
      std::fprintf(stderr, "orvalen-soak: cannot write %s\n", o_.netnsHosts.c_str());
      return 2;
    }
  } else {
    std::printf("soak: not in a network namespace of its own (see --netns-hosts): change-address and multicast "
                "channels left out\n");
  }
  // Before any thread exists: the lab is a fork of this process.
  if (!lab_.Start(plan, &error)) {
    std::fprintf(stderr, "orvalen-soak: %s\n", error.c_str());
    return 2;
  }
  const std::vector<uint16_t>& ports = lab_.Ports();

  // Each device's transport from Orvalen.xml, by its proxy's port.
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Configuration>\n";
  for (const Channel& c : channels_) {
    if (!c.group.empty()) continue;  // bare RTP: nothing to set
    xml += "  <Device address=\"" + (c.host.empty() ? std::string("127.0.0.1") : c.host) + "\" port=\"" +
           std::to_string(ports[static_cast<size_t>(c.index)]) + "\"><VideoChannel><RTPMode>" +
           (c.udp ? "UDP" : "RTPoverRTSP") + "</RTPMode><KeepAlive>1</KeepAlive></VideoChannel></Device>\n";
  }
  xml += "</Configuration>\n";
  const std::string hostDir = o_.workDir + "/host";
  if (!capture::MakeDirectories(hostDir, &error) || !capture::WriteTextFile(hostDir + "/Orvalen.xml", xml, &error)) {
    std::fprintf(stderr, "orvalen-soak: %s\n", error.c_str());
    lab_.Stop();
    return 2;
  }
  capture::SetEnvironment("ORVALEN_HOST_DIR", hostDir + "/");

  const char* given = std::getenv("ORVALEN_DRIVER");
  const std::string libraryPath = given != nullptr && given[0] != '\0' ? given : capture::OwnDirectory() + "Orvalen.so";
  void* library = capture::OpenLibrary(libraryPath, &error);
  if (library != nullptr) {
    create_ = reinterpret_cast<CreateDriver>(capture::LibrarySymbol(library, "CreateIPCaptureEx5"));
    destroy_ = reinterpret_cast<DeleteDriver>(capture::LibrarySymbol(library, "DeleteIPCaptureEx5"));
  }
  if (create_ == nullptr || destroy_ == nullptr) {
    std::fprintf(stderr, "orvalen-soak: cannot use the driver %s: %s\n", libraryPath.c_str(), error.c_str());
    lab_.Stop();
    return 2;
  }
  log_ = std::fopen((o_.workDir + "/driver.log").c_str(), "w");

  Started();
  const Resources beforeOpen = Sample();
  std::printf("soak: %d channels on %d cameras (160x120 at 10 fps), %d of them multicast, seed %u, %.1f minutes of "
              "faults\n",
              o_.channels, cameraCount, multicastChannels, o_.seed, o_.minutes);
  for (Channel& c : channels_) {
    const bool multicast = !c.group.empty();
    const bool auth = !multicast && cameras_[static_cast<size_t>(c.camera)].auth != "none";
    const std::string address = multicast ? c.group : c.host.empty() ? "127.0.0.1" : c.host;
    c.log.reset(new LogSink(log_, c.index));
    c.sink.reset(new Sink(o_.workDir + "/sample" + std::to_string(c.index)));
    c.device.reset(new capture::HostDevice(address, ports[static_cast<size_t>(c.index)], auth ? kUser : "",
                                           auth ? kPassword : "", "soak", 1));
    c.device->SetParameter(1, "/stream");
    // "1": bare RTP, no RTSP session; the group is joined.
    c.device->SetParameter(2, multicast ? "1" : "0");
    if (!OpenChannel(c)) std::fprintf(stderr, "orvalen-soak: channel %d did not open\n", c.index);
  }
  const Clock::time_point opened = Clock::now();
  if (!WaitAllStreaming(90)) std::printf("soak: not every channel streams after 90 s; going on\n");
  std::printf("soak: all streaming after %.1f s\n", Seconds(Clock::now() - opened));
  // Warm-up: buffers and pools reach their working size before the base.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const Resources base = Sample();
  std::printf("soak: after warm-up %s\n", Describe(base).c_str());

  std::vector<ChannelPlace> places;
  for (const Channel& c : channels_) places.push_back({c.index, c.camera, c.udp, !c.group.empty(), !c.host.empty()});
  const std::vector<Event> events =
      Schedule({o_.seed, o_.minutes, o_.intervalS, !o_.netnsHosts.empty()}, places, cameras_, 0);
  std::printf("chaos: seed=%u events=%zu interval=%.1fs\n", o_.seed, events.size(), o_.intervalS);
  for (const Event& e : events)
    std::printf("chaos: +%6.1fs %-16s %s\n", e.atS, KindName(e.kind), TargetName(e).c_str());
  std::fflush(stdout);

  const Clock::time_point chaosStart = Clock::now();
  std::vector<Resources> samples;
  size_t next = 0;
  double nextSampleS = 60;
  for (;;) {
    const double now = Seconds(Clock::now() - chaosStart);
    if (now >= o_.minutes * 60) break;
    for (auto it = lossEnds_.begin(); it != lossEnds_.end();) {
      if (Clock::now() >= it->first) {
        lab_.Command("loss " + std::to_string(it->second) + " 0");
        channels_[static_cast<size_t>(it->second)].sink->End(Kind::kLoss, Clock::now());
        it = lossEnds_.erase(it);
      } else {
        ++it;
      }
    }
    if (next < events.size() && now >= events[next].atS) {
      Apply(events[next++]);
      continue;
    }
    if (now >= nextSampleS) {
      samples.push_back(Sample());
      std::printf("soak: minute %.0f %s\n", nextSampleS / 60, Describe(samples.back()).c_str());
      std::fflush(stdout);
      nextSampleS += 60;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (auto& end : lossEnds_) {
    lab_.Command("loss " + std::to_string(end.second) + " 0");
    channels_[static_cast<size_t>(end.second)].sink->End(Kind::kLoss, Clock::now());
  }
  lossEnds_.clear();
  const bool settled = WaitAllStreaming(45);
  const Resources final = Sample();
  std::printf("soak: at the end %s%s\n", Describe(final).c_str(), settled ? "" : " (not every channel streams)");

  for (Channel& c : channels_) CloseChannel(c);
  for (Channel& c : channels_) c.sink->CloseSample();
  const Resources closed = Sample();
  if (log_ != nullptr) std::fclose(log_);
  log_ = nullptr;
  std::printf("soak: before opening fds=%ld threads=%ld; after closing fds=%ld threads=%ld\n", beforeOpen.fds,
              beforeOpen.threads, closed.fds, closed.threads);
  const std::string exits = lab_.Command("exits");
  lab_.Stop();

  // Figures per channel.
  std::ostringstream table;
  char row[512];
  std::snprintf(row, sizeof(row),
                "Run: %d channels, %d cameras, %.1f minutes of faults, seed %u, %zu fault events. Host "
                "process after warm-up and at the end: %s; %s.\n\n",
                o_.channels, cameraCount, o_.minutes, o_.seed, events.size(), Describe(base).c_str(),
                Describe(final).c_str());
  table << row;
  if (!o_.note.empty()) table << o_.note << "\n\n";
  table << "| ch | codec | transport | auth | frames | faults | recovered | recovery median / max s | lost beyond "
           "outage s | sampled | undecodable |\n|---|---|---|---|---|---|---|---|---|---|---|\n";
  unsigned faults = 0, recovered = 0;
  double lost = 0;
  uint64_t undecodable = 0;
  std::vector<double> allRecoveries;
  std::vector<std::pair<std::string, std::vector<double>>> byKind;
  for (Channel& c : channels_) {
    const bool multicast = !c.group.empty();
    const LabCamera cam = multicast ? LabCamera{c.codec, "none"} : cameras_[static_cast<size_t>(c.camera)];
    std::vector<double> recoveries;
    double channelLost = 0;
    unsigned channelFaults = 0, channelRecovered = 0;
    for (const Fault& f : c.sink->Results()) {
      if (!f.ended) continue;  // cut short by the end of the run
      ++channelFaults;
      if (f.recovered) {
        ++channelRecovered;
        recoveries.push_back(f.recoveryS);
        channelLost += f.lostBeyondS;
        std::string name = KindName(f.kind);
        auto it = std::find_if(byKind.begin(), byKind.end(), [&](const auto& k) { return k.first == name; });
        if (it == byKind.end()) it = byKind.insert(byKind.end(), {name, {}});
        it->second.push_back(f.lostBeyondS);
      }
    }
    const uint64_t sampled = c.sink->Sampled();
    if (sampled > 0) {
      const long decoded = DecodedFrames(c.sink->SamplePath(), c.sink->Codec());
      if (decoded >= 0 && static_cast<uint64_t>(decoded) < sampled) c.undecodable = sampled - static_cast<uint64_t>(decoded);
    }
    faults += channelFaults;
    recovered += channelRecovered;
    lost += channelLost;
    undecodable += c.undecodable;
    allRecoveries.insert(allRecoveries.end(), recoveries.begin(), recoveries.end());
    double maxRecovery = recoveries.empty() ? 0 : *std::max_element(recoveries.begin(), recoveries.end());
    std::snprintf(row, sizeof(row), "| %d | %s | %s | %s | %llu | %u | %u | %.2f / %.2f | %.1f | %llu | %llu |\n",
                  c.index, cam.codec.c_str(), multicast ? "multicast" : c.udp ? "UDP" : "interleaved", cam.auth.c_str(),
                  static_cast<unsigned long long>(c.sink->Frames()), channelFaults, channelRecovered,
                  Median(recoveries), maxRecovery, channelLost, static_cast<unsigned long long>(sampled),
                  static_cast<unsigned long long>(c.undecodable));
    table << row;
  }
  table << "\n| fault | count | lost beyond outage, median / max s |\n|---|---|---|\n";
  for (auto& k : byKind) {
    std::snprintf(row, sizeof(row), "| %s | %zu | %.2f / %.2f |\n", k.first.c_str(), k.second.size(),
                  Median(k.second), *std::max_element(k.second.begin(), k.second.end()));
    table << row;
  }
  table << "\n| sample | rss MiB | heap MiB | fds | threads |\n|---|---|---|---|---|\n";
  auto sampleRow = [&](const std::string& name, const Resources& r) {
    std::snprintf(row, sizeof(row), "| %s | %.1f | %.1f | %ld | %ld |\n", name.c_str(), r.rssMib, r.heapMib, r.fds,
                  r.threads);
    table << row;
  };
  sampleRow("before opening", beforeOpen);
  sampleRow("after warm-up", base);
  for (size_t i = 0; i < samples.size(); ++i) sampleRow("minute " + std::to_string(i + 1), samples[i]);
  sampleRow("end", final);
  sampleRow("after closing", closed);
  uint64_t errors = 0;
  for (Channel& c : channels_) errors += c.log->Errors();
  uint64_t stampsChecked = 0, stampsOff = 0;
  double worstStamp = 0;
  for (Channel& c : channels_) {
    stampsChecked += c.sink->StampsChecked();
    stampsOff += c.sink->StampsOff();
    worstStamp = std::max(worstStamp, c.sink->WorstStampOffS());
  }
  std::snprintf(row, sizeof(row),
                "\nAfter the clock steps (wall clock now %+lld s off the system's): %llu frames stamped more than "
                "%.0f s off the stepped wall clock, of %llu judged %.0f s or more after a step; worst %.2f s.\n",
                static_cast<long long>(WallClockOffset()), static_cast<unsigned long long>(stampsOff),
                kStampToleranceS, static_cast<unsigned long long>(stampsChecked), kStampSettleS, worstStamp);
  table << row;
  // The Digest cameras log each stale answer and whether the request that
  // followed it carried valid credentials with the fresh nonce.
  unsigned staleAnswers = 0, renewed = 0, refused = 0;
  for (size_t i = 0; i < cameras_.size(); ++i) {
    if (cameras_[i].auth != "digest") continue;
    const std::string path = o_.workDir + "/camera" + std::to_string(i) + ".log";
    staleAnswers += CountLines(path, "with a stale nonce, answered 401");
    renewed += CountLines(path, "with the fresh nonce: authenticated");
    refused += CountLines(path, "with the fresh nonce: NOT authenticated");
  }
  std::snprintf(row, sizeof(row),
                "After the nonce rotations: %u requests answered 401 stale; the request after it came with valid "
                "credentials on the fresh nonce %u times, with invalid ones %u times.\n",
                staleAnswers, renewed, refused);
  table << row;
  std::snprintf(row, sizeof(row),
                "\nRecovery over all faults: median %.2f s, max %.2f s. Driver error lines: %llu. Cameras that "
                "failed to restart: %u; lab: %s.\n\n",
                Median(allRecoveries),
                allRecoveries.empty() ? 0 : *std::max_element(allRecoveries.begin(), allRecoveries.end()),
                static_cast<unsigned long long>(errors), cameraFailures_, exits.c_str());
  table << row;
  capture::CloseLibrary(library);
  if (hosts_ >= 0) close(hosts_);
  hosts_ = -1;

  char last[512];
  std::snprintf(last, sizeof(last),
                "soak: cameras=%d minutes=%g faults=%u recovered=%u lost_beyond_outage_s=%.1f undecodable=%llu "
                "rss_growth_mib=%.1f fd_growth=%ld thread_growth=%ld crashes=0",
                o_.channels, o_.minutes, faults, recovered, lost, static_cast<unsigned long long>(undecodable),
                final.rssMib - base.rssMib, final.fds - base.fds, final.threads - base.threads);
  table << "Last line: `" << last << "`\n";
  std::fputs(table.str().c_str(), stdout);
  if (!o_.report.empty()) WriteReport(table.str());
  std::printf("soak: leaked after closing: fds=%ld threads=%ld\n", closed.fds - beforeOpen.fds,
              closed.threads - beforeOpen.threads);
  std::printf("soak: stamps off_clock=%llu checked=%llu\n", static_cast<unsigned long long>(stampsOff),
              static_cast<unsigned long long>(stampsChecked));
  std::printf("%s\n", last);
  return 0;
}

const char* kUsage =
    "usage: orvalen-soak [--cameras N] [--minutes M] [--seed S] [--interval SECONDS] [--work DIR]\n"
    "                    [--report docs/RELIABILITY.md] [--note TEXT] [--netns-hosts /etc/hosts]\n"
    "Opens N channels (default 64) through the driver's exports against local test cameras and runs a\n"
    "seeded schedule of faults for M minutes (default 2), one every SECONDS (default 3): restart-camera,\n"
    "reset-connection, stall-connection, drop-5%, stall-OnFrame, close-reopen, rotate-nonce (a Digest\n"
    "camera makes its nonces stale) and step-clock (the wall clock, for every channel, 5 s to 10 min\n"
    "forward or back).\n"
    "--netns-hosts: run inside a network namespace of its own (lo up with multicast, a route for\n"
    "224.0.0.0/4 on lo), PATH being its hosts file, which is rewritten: cameras are then reached by name\n"
    "and change-address moves them; one channel in eight receives a multicast group instead\n"
    "(restart-sender). Outside a namespace the option is refused.\n";

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
  soak::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(soak::kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "orvalen-soak: %s needs a value\n%s", name.c_str(), soak::kUsage);
      return 2;
    }
    const char* value = argv[++i];
    if (name == "--cameras") {
      o.channels = std::atoi(value);
    } else if (name == "--minutes") {
      o.minutes = std::atof(value);
    } else if (name == "--seed") {
      o.seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (name == "--interval") {
      o.intervalS = std::atof(value);
    } else if (name == "--work") {
      o.workDir = value;
    } else if (name == "--report") {
      o.report = value;
    } else if (name == "--note") {
      o.note = value;
    } else if (name == "--netns-hosts") {
      o.netnsHosts = value;
    } else {
      std::fprintf(stderr, "orvalen-soak: unknown option %s\n%s", name.c_str(), soak::kUsage);
      return 2;
    }
  }
  if (o.channels < 1 || o.channels > 1000 || o.minutes <= 0 || o.intervalS <= 0) {
    std::fprintf(stderr, "orvalen-soak: --cameras 1..1000, --minutes and --interval above 0\n");
    return 2;
  }
  // The hosts file is rewritten: never the machine's own.
  if (!o.netnsHosts.empty() && !soak::InOwnNetworkNamespace(o.netnsHosts)) {
    std::fprintf(stderr, "orvalen-soak: --netns-hosts needs a network namespace of its own; ignored\n");
    o.netnsHosts.clear();
  }
  soak::Soak soak(o);
  return soak.Run();
}
