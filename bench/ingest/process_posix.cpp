#include "process_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace ingest {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // In the child: only async-signal-safe calls until exec. A receiver must
  // not outlive the benchmark, however that ends.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A benchmark started in the background of a shell ignores SIGINT, and
  // the child would inherit that and not stop when asked.
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  const int in = open("/dev/null", O_RDONLY);
  if (in >= 0) dup2(in, 0);
  const int outFd = open(stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (outFd >= 0) dup2(outFd, 1);
  const int errFd = open(stderrPath.empty() ? "/dev/null" : stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (errFd >= 0) dup2(errFd, 2);
  execvp(args[0], args.data());
  _exit(127);
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses; fields follow the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && (fields >> field); ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

uint64_t ContextSwitches(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return 0;
  uint64_t total = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream status(tasks + "/" + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      // voluntary_ctxt_switches and nonvoluntary_ctxt_switches
      const size_t colon = line.find("ctxt_switches:");
      if (colon != std::string::npos) total += std::strtoull(line.c_str() + colon + 14, nullptr, 10);
    }
  }
  closedir(dir);
  return total;
}

long PeakRssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  return 0;
}

bool StopProcess(pid_t pid, int signal, double timeoutS, int* status) {
  if (pid <= 0) return false;
  kill(pid, signal);
  const int steps = static_cast<int>(timeoutS * 50);
  for (int i = 0; i <= steps; ++i) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    // FFmpeg still probing its input can miss a single SIGINT; asking
    // again every 2 s gets it out without a kill.
    if (i > 0 && i % 100 == 0) kill(pid, signal);
    SleepSeconds(0.02);
  }
  kill(pid, SIGKILL);
  waitpid(pid, status, 0);
  return false;
}

bool PortsBound(const std::vector<uint16_t>& ports) {
  std::set<unsigned> bound;
  std::ifstream udp("/proc/net/udp");
  std::string line;
  std::getline(udp, line);  // header
  while (std::getline(udp, line)) {
    // "  sl  local_address rem_address ...": local is HEXADDR:HEXPORT.
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    const size_t colon = local.find(':');
    if (colon != std::string::npos) bound.insert(static_cast<unsigned>(std::strtoul(local.c_str() + colon + 1, nullptr, 16)));
  }
  for (uint16_t p : ports)
    if (bound.count(p) == 0) return false;
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      partial = path.substr(0, i);
      if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void SleepSeconds(double seconds) {
  timespec t;
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>((seconds - double(t.tv_sec)) * 1e9);
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace ingest
