#include "soak_lab.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

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

// Starts testcam on the port (0: a free one) and waits for its "ready"
// line; returns the bound port, 0 on failure.
int StartCamera(const LabPlan& plan, size_t index, RunningCamera* camera, int port) {
  int out[2];
  if (pipe(out) != 0) return 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string logPath = plan.workDir + "/camera" + std::to_string(index) + ".log";
  posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::string portText = std::to_string(port), fps = std::to_string(plan.fps);
  std::vector<std::string> args = {plan.testcam,     "--port", portText,    "--codec",  camera->kind.codec,
                                   "--size",         plan.size, "--fps",    fps,        "--auth",
                                   camera->kind.auth, "--user", kUser,      "--password", kPassword};
  // A short session time-out makes the driver keep Digest sessions alive
  // every 5 s, so that a rotated nonce meets a keep-alive soon.
  if (camera->kind.auth == "digest") args.insert(args.end(), {"--session-timeout", "10"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, plan.testcam.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
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

void StopCamera(RunningCamera* camera) {
  if (camera->pid <= 0) return;
  kill(camera->pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(camera->pid, nullptr, WNOHANG) == camera->pid) {
      camera->pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(camera->pid, SIGKILL);
  waitpid(camera->pid, nullptr, 0);
  camera->pid = -1;
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
  std::string ready = "ready";
  for (size_t i = 0; i < plan.channels.size(); ++i) {
    const LabChannel& ch = plan.channels[i];
    proxies[i].reset(new faults::TcpFaultProxy(static_cast<uint16_t>(cameras[ch.camera].port)));
    if (ch.udp) {
      relays[i].reset(new telvora::test::UdpRelay({0, 0, plan.seed + static_cast<unsigned>(i)}));
      proxies[i]->SetRewriter(ThroughRelay(relays[i].get()));
    }
    ready += " " + std::to_string(proxies[i]->Port());
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
    } else if (verb == "exits") {
      // Cameras that ended without being asked to.
      unsigned ended = 0;
      for (auto& c : cameras)
        if (c.pid > 0 && waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
          c.pid = -1;
          ++ended;
        }
      answer = "ok " + std::to_string(ended);
    } else {
      answer = "error unknown command";
    }
    WriteLine(out, answer);
  }
  proxies.clear();
  relays.clear();
  for (auto& c : cameras) StopCamera(&c);
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
