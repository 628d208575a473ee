#include "soak_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "soak_door.h"
#include "support/udp_relay.h"
#include "tcp_fault_proxy.h"

extern char** environ;

namespace soak {

const char* const kUser = "soak";
const char* const kPassword = "s0ak-pass";

namespace {

struct RunningCamera {
  LabCamera kind;
  pid_t pid = -1;
  int port = 0;
};

// Starts args[0] (looked up in PATH when it has no folder) with its stderr
// appended to logPath, and its stdout to the write end of stdoutPipe, or to
// the log as well when there is none. The pid, or -1.
pid_t Spawn(std::vector<std::string> args, const std::string& logPath, const int* stdoutPipe) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutPipe != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, stdoutPipe[1], 1);
    posix_spawn_file_actions_addclose(&actions, stdoutPipe[0]);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Starts testcam on the port (0: a free one) and waits for its "ready"
// line; returns the bound port, 0 on failure.
int StartCamera(const LabPlan& plan, size_t index, RunningCamera* camera, int port) {
  int out[2];
  if (pipe(out) != 0) return 0;
  std::string portText = std::to_string(port), fps = std::to_string(plan.fps);
  std::vector<std::string> args = {plan.testcam,     "--port", portText,    "--codec",  camera->kind.codec,
                                   "--size",         plan.size, "--fps",    fps,        "--auth",
                                   camera->kind.auth, "--user", kUser,      "--password", kPassword};
  // A short session time-out makes the driver keep Digest sessions alive
  // every 5 s, so that a rotated nonce meets a keep-alive soon.
  if (camera->kind.auth == "digest") args.insert(args.end(), {"--session-timeout", "10"});
  const pid_t pid = Spawn(args, plan.workDir + "/camera" + std::to_string(index) + ".log", out);
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return 0;
  }
  camera->pid = pid;
  FILE* in = fdopen(out[0], "r");
  char line[256];
  int bound = 0;
  if (in != nullptr && std::fgets(line, sizeof(line), in) != nullptr) {
    const char* colon = std::strrchr(line, ':');
    if (std::strncmp(line, "ready ", 6) == 0 && colon != nullptr) bound = std::atoi(colon + 1);
  }
  if (in != nullptr) std::fclose(in);  // testcam writes nothing more to stdout
  if (bound == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    camera->pid = -1;
  }
  camera->port = bound;
  return bound;
}

void StopProcess(pid_t* pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(*pid, nullptr, WNOHANG) == *pid) {
      *pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(*pid, SIGKILL);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

void StopCamera(RunningCamera* camera) { StopProcess(&camera->pid); }

// A multicast channel's source: gst-launch encoding a test picture into
// bare RTP towards the relay, which sends it on to the group. Every start
// is a new source to the receiver (SSRC and sequence drawn afresh).
pid_t StartSender(const LabPlan& plan, size_t index, uint16_t relayPort) {
  const LabChannel& ch = plan.channels[index];
  const size_t x = plan.size.find('x');
  const std::string raw = "video/x-raw,format=I420,width=" + plan.size.substr(0, x) +
                          ",height=" + plan.size.substr(x + 1) + ",framerate=" + std::to_string(plan.fps) + "/1";
  std::string pipeline = "videotestsrc is-live=true pattern=ball ! " + raw;
  if (ch.codec == "jpeg")
    pipeline += " ! jpegenc quality=80 ! rtpjpegpay pt=26";
  else
    pipeline += " ! x264enc tune=zerolatency speed-preset=ultrafast bitrate=500 key-int-max=" +
                std::to_string(plan.fps) + " ! video/x-h264,profile=baseline ! rtph264pay pt=96 config-interval=-1";
  pipeline += " ! udpsink host=127.0.0.1 port=" + std::to_string(relayPort) + " sync=false async=false";
  std::vector<std::string> args = {"gst-launch-1.0", "-q"};
  std::istringstream words(pipeline);
  for (std::string word; words >> word;) args.push_back(word);
  return Spawn(args, plan.workDir + "/sender" + std::to_string(index) + ".log", nullptr);
}

// SETUP goes to the camera with the relay's ports, and the relay forwards
// to the ports the driver asked for.
faults::TcpFaultProxy::Rewriter ThroughRelay(telvora::test::UdpRelay* relay) {
  return [relay](const std::string& request) {
    const size_t at = request.find("client_port=");
    if (request.compare(0, 6, "SETUP ") != 0 || at == std::string::npos) return request;
    const size_t start = at + 12;
    const size_t end = request.find_first_of(";\r", start);
    relay->SetDestination(static_cast<uint16_t>(std::atoi(request.c_str() + start)));
    return request.substr(0, start) + std::to_string(relay->Port()) + "-" + std::to_string(relay->Port() + 1) +
           request.substr(end);
  };
}

void WriteLine(int fd, const std::string& text) {
  std::string line = text + "\n";
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void RunLab(const LabPlan& plan, int in, int out) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<RunningCamera> cameras(plan.cameras.size());
  for (size_t i = 0; i < cameras.size(); ++i) {
    cameras[i].kind = plan.cameras[i];
    if (StartCamera(plan, i, &cameras[i], 0) == 0) {
      WriteLine(out, "error camera " + std::to_string(i) + " did not start (see camera" + std::to_string(i) + ".log)");
      for (auto& c : cameras) StopCamera(&c);
      _exit(1);
    }
  }
  std::vector<std::unique_ptr<telvora::test::UdpRelay>> relays(plan.channels.size());
  std::vector<std::unique_ptr<faults::TcpFaultProxy>> proxies(plan.channels.size());
  std::vector<std::unique_ptr<Doorway>> doors(plan.channels.size());
  std::vector<pid_t> senders(plan.channels.size(), -1);
  std::string ready = "ready";
  for (size_t i = 0; i < plan.channels.size(); ++i) {
    const LabChannel& ch = plan.channels[i];
    if (ch.group != 0) {
      relays[i].reset(new telvora::test::UdpRelay({0, 0, plan.seed + static_cast<unsigned>(i)}));
      relays[i]->SetDestinationAddress(ch.group);
      relays[i]->SetDestination(ch.groupPort);
      senders[i] = StartSender(plan, i, relays[i]->Port());
      if (senders[i] <= 0 || relays[i]->Port() == 0) {
        WriteLine(out, "error the sender of channel " + std::to_string(i) + " did not start");
        for (auto& c : cameras) StopCamera(&c);
        for (pid_t& p : senders) StopProcess(&p);
        _exit(1);
      }
      ready += " " + std::to_string(ch.groupPort);
      continue;
    }
    proxies[i].reset(new faults::TcpFaultProxy(static_cast<uint16_t>(cameras[ch.camera].port)));
    if (ch.udp) {
      relays[i].reset(new telvora::test::UdpRelay({0, 0, plan.seed + static_cast<unsigned>(i)}));
      proxies[i]->SetRewriter(ThroughRelay(relays[i].get()));
    }
    uint16_t port = proxies[i]->Port();
    if (ch.address != 0) {
      doors[i].reset(new Doorway(ch.address, port));
      port = doors[i]->Port();
      if (relays[i]) relays[i]->SetSourceAddress(ch.address);
    }
    ready += " " + std::to_string(port);
  }
  WriteLine(out, ready);

  FILE* commands = fdopen(in, "r");
  char buffer[256];
  while (commands != nullptr && std::fgets(buffer, sizeof(buffer), commands) != nullptr) {
    std::istringstream line(buffer);
    std::string verb;
    line >> verb;
    size_t index = 0;
    line >> index;
    std::string answer = "ok";
    if (verb == "quit") break;
    if (verb == "restart" && index < cameras.size()) {
      unsigned downMs = 0;
      line >> downMs;
      RunningCamera& camera = cameras[index];
      const int port = camera.port;
      StopCamera(&camera);
      std::this_thread::sleep_for(std::chrono::milliseconds(downMs));
      // The port may still be held for a moment after the old process.
      bool started = false;
      for (int attempt = 0; attempt < 50 && !started; ++attempt) {
        started = StartCamera(plan, index, &camera, port) == port;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      camera.port = port;
      if (!started) answer = "error camera did not come back";
    } else if (verb == "rotate" && index < cameras.size()) {
      if (cameras[index].pid <= 0 || kill(cameras[index].pid, SIGUSR1) != 0) answer = "error camera is not running";
    } else if (verb == "reset" && index < proxies.size()) {
      proxies[index]->ResetAll();
    } else if (verb == "stall" && index < proxies.size()) {
      unsigned ms = 0;
      line >> ms;
      proxies[index]->Stall(std::chrono::milliseconds(ms));
    } else if (verb == "loss" && index < relays.size() && relays[index]) {
      double rate = 0;
      line >> rate;
      relays[index]->SetLossRate(rate);
    } else if (verb == "move" && index < doors.size() && doors[index]) {
      std::string dotted;
      line >> dotted;
      in_addr to{};
      if (inet_pton(AF_INET, dotted.c_str(), &to) != 1 || !doors[index]->Move(ntohl(to.s_addr))) {
        answer = "error cannot listen on " + dotted;
      } else if (relays[index]) {
        relays[index]->SetSourceAddress(ntohl(to.s_addr));
      }
    } else if (verb == "sender" && index < senders.size() && plan.channels[index].group != 0) {
      unsigned downMs = 0;
      line >> downMs;
      StopProcess(&senders[index]);
      std::this_thread::sleep_for(std::chrono::milliseconds(downMs));
      senders[index] = StartSender(plan, index, relays[index]->Port());
      if (senders[index] <= 0) answer = "error the sender did not come back";
    } else if (verb == "exits") {
      // Cameras and senders that ended without being asked to.
      unsigned ended = 0;
      for (auto& c : cameras)
        if (c.pid > 0 && waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
          c.pid = -1;
          ++ended;
        }
      for (pid_t& p : senders)
        if (p > 0 && waitpid(p, nullptr, WNOHANG) == p) {
          p = -1;
          ++ended;
        }
      answer = "ok " + std::to_string(ended);
    } else {
      answer = "error unknown command";
    }
    WriteLine(out, answer);
  }
  doors.clear();
  proxies.clear();
  relays.clear();
  for (auto& c : cameras) StopCamera(&c);
  for (pid_t& p : senders) StopProcess(&p);
  WriteLine(out, "bye");
  _exit(0);
}

}  // namespace

bool Lab::Start(const LabPlan& plan, std::string* error) {
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) {
    *error = "no pipe for the lab";
    return false;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    *error = "cannot fork the lab";
    return false;
  }
  if (pid == 0) {
    close(down[1]);
    close(up[0]);
    RunLab(plan, down[0], up[1]);
  }
  close(down[0]);
  close(up[1]);
  fcntl(down[1], F_SETFD, FD_CLOEXEC);
  fcntl(up[0], F_SETFD, FD_CLOEXEC);
  pid_ = pid;
  toLab_ = down[1];
  fromLab_ = up[0];
  std::string ready = ReadLine();
  if (ready.compare(0, 6, "ready ") != 0) {
    *error = ready.empty() ? "the lab ended before it was ready" : ready;
    Stop();
    return false;
  }
  std::istringstream ports(ready.substr(6));
  int port = 0;
  while (ports >> port) ports_.push_back(static_cast<uint16_t>(port));
  if (ports_.size() != plan.channels.size()) {
    *error = "the lab reported " + std::to_string(ports_.size()) + " proxies";
    Stop();
    return false;
  }
  return true;
}

std::string Lab::ReadLine() {
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    char buffer[512];
    ssize_t n = read(fromLab_, buffer, sizeof(buffer));
    if (n <= 0) return "";
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::string Lab::Command(const std::string& line) {
  if (toLab_ < 0) return "";
  std::string text = line + "\n";
  if (write(toLab_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
  return ReadLine();
}

void Lab::Stop() {
  if (pid_ <= 0) return;
  Command("quit");
  close(toLab_);
  close(fromLab_);
  toLab_ = fromLab_ = -1;
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace soak
