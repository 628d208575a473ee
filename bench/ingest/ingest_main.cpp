// ingest: the cost of receiving N live H.264 streams, for Orvalen's bare
// RTP channel beside FFmpeg and GStreamer on the same packets, one receiver
// after another. See README.md, "Performance", for the command and figures.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "accounting.h"
#include "clip.h"
#include "process_posix.h"
#include "receiver_outputs.h"
#include "replayer.h"
#include "rtsp_server_posix.h"
#include "scale_search.h"

namespace ingest {
namespace {

// Set by SIGINT or SIGTERM: the current run ends early, its receivers are
// stopped, and no further run starts.
std::atomic<bool> g_stop{false};

void OnStopSignal(int) { g_stop.store(true); }

struct Options {
  int streams = 8;
  double seconds = 30;
  std::string clip = "mix";  // 1080, 720 or mix (alternating)
  std::vector<std::string> receivers = {"orvalen", "ffmpeg", "gstreamer"};
  int repeat = 1;
  double spread = 0.5;
  bool scale = false;
  int scaleMax = 400;
  int basePort = 41000;
  std::string transport = "udp";  // tcp: RTP interleaved in an RTSP session per stream
  std::string driver, host, gst, floor, cache, work;
};

struct Result {
  std::string receiver;
  int streams = 0;
  double seconds = 0;
  double cpuSeconds = -1;
  double cpuPerStreamMinute = -1;
  double switchesPerPacket = -1;
  uint64_t sent = 0;
  uint64_t delivered = 0;
  uint64_t lost = 0;
  uint64_t startup = 0;
  long peakRssKib = 0;
  double latencyP50 = -1, latencyP99 = -1, latencyMax = -1;
  double idleKibPerChannel = -1, streamingKibPerChannel = -1, driverKibPerChannel = -1;
  double senderLateMs = 0;
  double senderSeconds = 0;
  uint64_t sendErrors = 0;
  std::string transport;
  bool ok = true;
  std::string note;
};

const char* kUsage =
    "usage: ingest --driver Orvalen.so --host ingest-host --gst ingest-gst --floor ingest-floor --cache DIR --work DIR\n"
    "              [--streams N] [--seconds S] [--clip mix|1080|720]\n"
    "              [--receivers orvalen,ffmpeg,gstreamer,floor,floor-epoll]\n"
    "              [--repeat R] [--spread F] [--base-port P] [--transport udp|tcp] [--scale] [--scale-max N]\n";

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--scale") {
      o->scale = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--streams") o->streams = std::atoi(value.c_str());
    else if (name == "--seconds") o->seconds = std::atof(value.c_str());
    else if (name == "--clip") o->clip = value;
    else if (name == "--repeat") o->repeat = std::atoi(value.c_str());
    else if (name == "--spread") o->spread = std::atof(value.c_str());
    else if (name == "--base-port") o->basePort = std::atoi(value.c_str());
    else if (name == "--scale-max") o->scaleMax = std::atoi(value.c_str());
    else if (name == "--driver") o->driver = value;
    else if (name == "--host") o->host = value;
    else if (name == "--gst") o->gst = value;
    else if (name == "--floor") o->floor = value;
    else if (name == "--cache") o->cache = value;
    else if (name == "--work") o->work = value;
    else if (name == "--transport") o->transport = value;
    else if (name == "--receivers") {
      o->receivers.clear();
      std::stringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) o->receivers.push_back(item);
    } else {
      return false;
    }
  }
  if (o->streams < 1 || o->seconds < 1 || o->repeat < 1 || o->scaleMax < 1) return false;
  if (o->basePort < 1024 || o->basePort + 2 * std::max(o->streams, o->scaleMax) > 65535) return false;
  if (o->clip != "mix" && o->clip != "1080" && o->clip != "720") return false;
  if (o->transport != "udp" && o->transport != "tcp") return false;
  for (const std::string& r : o->receivers)
    if (r != "orvalen" && r != "ffmpeg" && r != "gstreamer" && r != "floor" && r != "floor-epoll") return false;
  return !o->driver.empty() && !o->host.empty() && !o->cache.empty() && !o->work.empty();
}

// The clips are made once and kept: 10 s of moving noise over a test
// pattern, so that the encoder has to spend the whole bit rate.
bool EnsureClip(const Options& o, const std::string& size, const std::string& rate, std::string* path) {
  *path = o.cache + "/clip_" + size + "_" + rate + ".h264";
  if (FileExists(*path)) return true;
  std::fprintf(stderr, "ingest: making %s with ffmpeg\n", path->c_str());
  const std::string partial = *path + ".part";
  const pid_t pid = Spawn({"ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                           "testsrc2=size=" + size + ":rate=25", "-t", "10", "-vf", "noise=alls=12:allf=t", "-c:v",
                           "libx264", "-preset", "veryfast", "-bf", "0", "-g", "50", "-b:v", rate, "-maxrate", rate,
                           "-bufsize", rate, "-pix_fmt", "yuv420p", "-f", "h264", partial},
                          "", o.work + "/ffmpeg-clip.log");
  int status = 0;
  // Encoding may take a while on a busy machine; SIGINT at 300 s.
  if (pid < 0) return false;
  for (int i = 0; i < 3000; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    SleepSeconds(0.1);
    if (i == 2999) StopProcess(pid, SIGKILL, 1, &status);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !FileExists(partial)) {
    std::fprintf(stderr, "ingest: ffmpeg could not make the clip (see %s/ffmpeg-clip.log)\n", o.work.c_str());
    return false;
  }
  return std::rename(partial.c_str(), path->c_str()) == 0;
}

std::vector<StreamPlan> Plan(int streams, int basePort, const std::string& clip, const Clip& c1080, const Clip& c720) {
  std::vector<StreamPlan> plan(static_cast<size_t>(streams));
  for (int i = 0; i < streams; ++i) {
    plan[i].port = static_cast<uint16_t>(basePort + 2 * i);
    plan[i].ssrc = 0x51000000u + static_cast<uint32_t>(i);
    const bool big = clip == "1080" || (clip == "mix" && i % 2 == 0);
    plan[i].clip = big ? &c1080 : &c720;
  }
  return plan;
}

std::map<std::string, std::string> ReadKeys(const std::string& path) { return ParseKeyValues(ReadText(path)); }

bool WaitUntil(double timeoutS, const std::function<bool()>& done) {
  for (double waited = 0; waited < timeoutS && !g_stop.load(); waited += 0.05) {
    if (done()) return true;
    SleepSeconds(0.05);
  }
  return done();
}

Result RunReceiver(const Options& o, const std::string& receiver, const std::vector<StreamPlan>& plan, int round) {
  Result r;
  r.receiver = receiver;
  r.streams = static_cast<int>(plan.size());
  r.seconds = o.seconds;
  r.transport = o.transport;
  const std::string dir = o.work + "/" + receiver + "-" + std::to_string(plan.size()) + "-" + std::to_string(round);
  MakeDirectory(dir);
  std::remove((dir + "/ready").c_str());
  std::vector<uint16_t> ports;
  for (const StreamPlan& p : plan) ports.push_back(p.port);
  const std::string n = std::to_string(plan.size());
  const std::string base = std::to_string(o.basePort);
  std::vector<pid_t> pids;
  const double startLimit = 30 + 0.2 * double(plan.size());
  bool ready = false;
  // Over TCP the receivers fetch their streams from this server, which must
  // answer before they can come up; the replayer then writes into it.
  const bool tcp = o.transport == "tcp";
  InterleavedServer server(plan);
  std::string serverError;
  if (tcp && !server.Start(&serverError)) {
    r.ok = false;
    r.note = serverError;
    return r;
  }
  auto playing = [&] { return !tcp || server.Playing() == plan.size(); };
  if (receiver == "orvalen") {
    const int maxFrames = static_cast<int>(o.seconds * 25) + 500;
    pids.push_back(Spawn({o.host, "--driver", o.driver, "--base-port", base, "--streams", n, "--out", dir,
                          "--max-frames", std::to_string(maxFrames), "--transport", o.transport},
                         dir + "/stdout.txt", dir + "/stderr.txt"));
    ready = WaitUntil(startLimit, [&] { return FileExists(dir + "/ready") && playing(); });
  } else if (receiver == "floor" || receiver == "floor-epoll") {
    if (tcp) {
      r.ok = false;
      r.note = "the floor receives UDP only";
      return r;
    }
    pids.push_back(Spawn({o.floor, "--base-port", base, "--streams", n, "--out", dir, "--mode",
                          receiver == "floor" ? "thread" : "epoll"},
                         dir + "/stdout.txt", dir + "/stderr.txt"));
    ready = WaitUntil(startLimit, [&] { return FileExists(dir + "/ready"); });
  } else if (receiver == "gstreamer") {
    pids.push_back(Spawn({o.gst, "--base-port", base, "--streams", n, "--out", dir, "--transport", o.transport},
                         dir + "/stdout.txt", dir + "/stderr.txt"));
    ready = WaitUntil(startLimit,
                      [&] { return FileExists(dir + "/ready") && (tcp ? playing() : PortsBound(ports)); });
  } else {
    for (size_t i = 0; i < plan.size() && tcp; ++i)
      pids.push_back(Spawn({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats", "-progress",
                            dir + "/" + std::to_string(i) + ".progress", "-rtsp_transport", "tcp", "-i",
                            "rtsp://127.0.0.1:" + std::to_string(plan[i].port) + "/stream", "-map", "0", "-c",
                            "copy", "-f", "null", "-"},
                           "", dir + "/" + std::to_string(i) + ".err"));
    for (size_t i = 0; i < plan.size() && !tcp; ++i) {
      const std::string sdp = dir + "/" + std::to_string(i) + ".sdp";
      std::ofstream(sdp) << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=ingest\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                         << "m=video " << plan[i].port << " RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                         << "a=fmtp:96 packetization-mode=1\r\n";
      pids.push_back(Spawn({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats", "-progress",
                            dir + "/" + std::to_string(i) + ".progress", "-protocol_whitelist", "file,udp,rtp", "-i",
                            sdp, "-map", "0", "-c", "copy", "-f", "null", "-"},
                           "", dir + "/" + std::to_string(i) + ".err"));
    }
    ready = WaitUntil(startLimit, [&] { return tcp ? playing() : PortsBound(ports); });
  }
  for (pid_t pid : pids) r.ok = r.ok && pid > 0;
  if (!ready || !r.ok) {
    r.ok = false;
    r.note = "the receiver did not come up (see " + dir + ")";
  }
  ReplayResult sent;
  if (r.ok) {
    SleepSeconds(0.5);
    double cpu0 = 0;
    uint64_t switches0 = 0;
    for (pid_t pid : pids) {
      cpu0 += std::max(0.0, CpuSeconds(pid));
      switches0 += ContextSwitches(pid);
    }
    Replayer replayer(plan, o.spread);
    if (tcp) replayer.SetOutput(&server);
    if (!replayer.Run(o.seconds, g_stop, &sent)) r.note = "no socket to send from";
    if (g_stop.load()) {
      r.ok = false;
      r.note = "stopped by a signal";
    }
    SleepSeconds(1.0);  // let the receiver drain its queues
    double cpu1 = 0;
    uint64_t switches1 = 0;
    for (pid_t pid : pids) {
      switches1 += ContextSwitches(pid);
      const double c = CpuSeconds(pid);
      if (c < 0) r.note = "a receiver process ended early (see " + dir + ")";
      cpu1 += std::max(0.0, c);
      r.peakRssKib += PeakRssKib(pid);
    }
    r.cpuSeconds = cpu1 - cpu0;
    r.cpuPerStreamMinute = r.cpuSeconds / double(plan.size()) / (o.seconds / 60.0);
    if (sent.packets > 0 && switches1 >= switches0) r.switchesPerPacket = double(switches1 - switches0) / double(sent.packets);
    r.senderLateMs = sent.maxLateMs;
    r.senderSeconds = sent.seconds;
    r.sendErrors = sent.sendErrors;
  }
  for (pid_t pid : pids) {
    int status = 0;
    if (pid > 0 && !StopProcess(pid, SIGINT, 30 + 0.1 * double(plan.size()), &status))
      r.note = "a receiver did not stop on SIGINT and was killed";
  }
  server.Stop();
  if (server.Dropped() > 0)
    r.note += std::to_string(server.Dropped()) + " packets dropped for receivers that fell behind (in send_errors); ";
  for (const SentStream& s : sent.streams) r.sent += s.lastPacketNs.size();
  if (!r.ok) return r;

  if (receiver == "orvalen") {
    std::vector<Arrival> arrivals;
    FILE* file = std::fopen((dir + "/arrivals.bin").c_str(), "rb");
    if (file != nullptr) {
      Arrival a;
      while (std::fread(&a, sizeof(a), 1, file) == 1) arrivals.push_back(a);
      std::fclose(file);
    }
    const Accounting acc = Account(sent.streams, arrivals);
    r.delivered = acc.delivered;
    r.lost = acc.lost;
    r.startup = acc.startup;
    r.latencyP50 = Quantile(acc.latencyMs, 0.50);
    r.latencyP99 = Quantile(acc.latencyMs, 0.99);
    r.latencyMax = Quantile(acc.latencyMs, 1.0);
    auto keys = ReadKeys(dir + "/host.txt");
    const double before = std::atof(keys["rss_before_kib"].c_str());
    r.idleKibPerChannel = (std::atof(keys["rss_idle_kib"].c_str()) - before) / double(plan.size());
    r.streamingKibPerChannel = (std::atof(keys["rss_peak_kib"].c_str()) - before) / double(plan.size());
    r.driverKibPerChannel = (std::atof(keys["rss_peak_without_frames_kib"].c_str()) - before) / double(plan.size());
    if (keys["log_errors"] != "0" || keys["frames_not_released"] != "0")
      r.note += "driver log: " + keys["log_errors"] + " errors, " + keys["log_warnings"] + " warnings, " +
                keys["frames_not_released"] + " frames not released (see " + dir + "/host.txt)";
    if (keys.empty()) r.note += "no host.txt in " + dir;
  } else if (receiver == "gstreamer" || receiver == "floor" || receiver == "floor-epoll") {
    const std::string counts = receiver == "gstreamer" ? "/gst.txt" : "/floor.txt";
    r.delivered = std::strtoull(ReadKeys(dir + counts)["frames"].c_str(), nullptr, 10);
    r.lost = r.sent > r.delivered ? r.sent - r.delivered : 0;
  } else {
    for (size_t i = 0; i < plan.size(); ++i) r.delivered += LastProgressFrames(ReadText(dir + "/" + std::to_string(i) + ".progress"));
    r.lost = r.sent > r.delivered ? r.sent - r.delivered : 0;
  }
  return r;
}

void PrintResult(const Result& r) {
  std::printf("%s: transport=%s streams=%d seconds=%.0f cpu_s=%.2f cpu_s_per_stream_min=%.4f frames_sent=%llu delivered=%llu",
              r.receiver.c_str(), r.transport.c_str(), r.streams, r.seconds, r.cpuSeconds, r.cpuPerStreamMinute,
              static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.delivered));
  if (r.receiver == "orvalen")
    std::printf(" startup=%llu lost=%llu latency_p50_ms=%.3f latency_p99_ms=%.3f latency_max_ms=%.3f",
                static_cast<unsigned long long>(r.startup), static_cast<unsigned long long>(r.lost), r.latencyP50,
                r.latencyP99, r.latencyMax);
  else
    std::printf(" missing=%llu", static_cast<unsigned long long>(r.lost));
  std::printf(" switches_per_packet=%.2f peak_rss_mib=%.1f sender_late_ms=%.1f send_errors=%llu\n", r.switchesPerPacket,
              double(r.peakRssKib) / 1024.0,
              r.senderLateMs, static_cast<unsigned long long>(r.sendErrors));
  if (r.receiver == "orvalen" && r.ok)
    std::printf(
        "memory: streams=%d idle_kib_per_channel=%.0f streaming_kib_per_channel=%.0f "
        "streaming_kib_per_channel_without_host_frames=%.0f\n",
        r.streams, r.idleKibPerChannel, r.streamingKibPerChannel, r.driverKibPerChannel);
  if (!r.note.empty()) std::printf("%s: note: %s\n", r.receiver.c_str(), r.note.c_str());
  std::fflush(stdout);
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

bool Passes(const Result& r, double seconds) {
  // Real time: the sender may end at most 2 % behind its schedule.
  return r.ok && r.lost == 0 && r.sendErrors == 0 && r.senderSeconds < seconds * 1.02 + 0.1;
}

int RunScale(const Options& o, const Clip& c720) {
  ScaleSearch search(16, o.scaleMax);
  while (search.Next() != 0 && !g_stop.load()) {
    const int n = search.Next();
    const Result r = RunReceiver(o, "orvalen", Plan(n, o.basePort, "720", c720, c720), search.Trials() + 1);
    PrintResult(r);
    const bool ok = Passes(r, o.seconds);
    std::printf("scale: trial=%d streams=%d %s\n", search.Trials() + 1, n, ok ? "pass" : "fail");
    std::fflush(stdout);
    search.Report(ok);
  }
  std::printf("scale: transport=%s streams=%d seconds=%.0f bitrate=2M lost_frames=0 first_failing=%d trials=%d\n",
              o.transport.c_str(), search.LargestPass(), o.seconds, search.SmallestFail(), search.Trials());
  return search.LargestPass() > 0 ? 0 : 1;
}

}  // namespace
}  // namespace ingest

int main(int argc, char** argv) {
  using namespace ingest;
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  MakeDirectory(o.cache);
  MakeDirectory(o.work);
  std::string path1080, path720, error;
  Clip c1080, c720;
  const bool need1080 = !o.scale && o.clip != "720";
  if ((need1080 && (!EnsureClip(o, "1920x1080", "4M", &path1080) || !LoadClip(path1080, "1080p", &c1080, &error))) ||
      !EnsureClip(o, "1280x720", "2M", &path720) || !LoadClip(path720, "720p", &c720, &error)) {
    std::fprintf(stderr, "ingest: %s\n", error.empty() ? "no clip" : error.c_str());
    return 1;
  }
  if (need1080)
    std::printf("clip: %s frames=%zu payload_mbit_s=%.2f max_packets_per_frame=%zu\n", c1080.name.c_str(),
                c1080.frames.size(), c1080.BitRate() / 1e6, c1080.MaxPacketsPerFrame());
  std::printf("clip: %s frames=%zu payload_mbit_s=%.2f max_packets_per_frame=%zu\n", c720.name.c_str(),
              c720.frames.size(), c720.BitRate() / 1e6, c720.MaxPacketsPerFrame());
  if (o.scale) return RunScale(o, c720);

  const std::vector<StreamPlan> plan = Plan(o.streams, o.basePort, o.clip, c1080, c720);
  std::map<std::string, std::vector<double>> cpu;
  uint64_t lost = 0;
  bool ok = true;
  for (int round = 1; round <= o.repeat; ++round) {
    for (const std::string& receiver : o.receivers) {
      if (g_stop.load()) break;
      const Result r = RunReceiver(o, receiver, plan, round);
      PrintResult(r);
      ok = ok && r.ok;
      if (r.ok) cpu[receiver].push_back(r.cpuPerStreamMinute);
      if (receiver == "orvalen") lost += r.lost;
    }
  }
  for (auto& entry : cpu) {
    const auto range = std::minmax_element(entry.second.begin(), entry.second.end());
    std::printf("spread: %s rounds=%zu cpu_s_per_stream_min min=%.4f median=%.4f max=%.4f\n", entry.first.c_str(),
                entry.second.size(), *range.first, Median(entry.second), *range.second);
  }
  const double a = Median(cpu["orvalen"]), b = Median(cpu["ffmpeg"]), c = Median(cpu["gstreamer"]);
  // What the receive alone costs, and so how far below it no receiver of
  // the same design can go.
  const double f = Median(cpu["floor"]), e = Median(cpu["floor-epoll"]);
  if (f > 0 || e > 0)
    std::printf("floor: thread_cpu_s_per_stream_min=%.4f epoll=%.4f ffmpeg_ratio_thread=%.3f ffmpeg_ratio_epoll=%.3f\n", f, e,
                b > 0 && f > 0 ? f / b : -1.0, b > 0 && e > 0 ? e / b : -1.0);
  std::printf("ingest: transport=%s streams=%d orvalen_cpu_s_per_stream_min=%.4f ffmpeg=%.4f gstreamer=%.4f ratio_ffmpeg=%.3f "
              "ratio_gstreamer=%.3f lost_frames=%llu\n",
              o.transport.c_str(), o.streams, a, b, c, b > 0 ? a / b : -1.0, c > 0 ? a / c : -1.0, static_cast<unsigned long long>(lost));
  return ok ? 0 : 1;
}
