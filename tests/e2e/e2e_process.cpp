#include "e2e_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "support/wait_until.h"

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath,
            const std::map<std::string, std::string>& extraEnv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: its own process group, so a stop reaches everything it started.
  setpgid(0, 0);
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int in = open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (const auto& e : extraEnv) setenv(e.first.c_str(), e.second.c_str(), 1);
  // The test runner may block signals; the child starts with none blocked.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string TempRoot() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Stop(2000);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logBase,
                         const std::map<std::string, std::string>& extraEnv) {
  outPath_ = logBase + ".out";
  errPath_ = logBase + ".err";
  status_ = -1;
  pid_ = Spawn(argv, outPath_, errPath_, extraEnv);
  return pid_ > 0;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    status_ = DecodeStatus(status);
    pid_ = -1;
    return false;
  }
  return true;
}

std::string ChildProcess::WaitForLine(const std::string& prefix, int timeoutMs) {
  std::string found;
  telvora::test::WaitUntil(
      [&] {
        std::istringstream lines(ReadFile(outPath_));
        std::string line;
        while (std::getline(lines, line))
          if (line.compare(0, prefix.size(), prefix) == 0) {
            found = line;
            return true;
          }
        return !Running();
      },
      std::chrono::milliseconds(timeoutMs));
  return found;
}

int ChildProcess::Wait(int timeoutMs) {
  if (!telvora::test::WaitUntil([&] { return !Running(); }, std::chrono::milliseconds(timeoutMs))) return -1;
  return status_;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

void ChildProcess::Stop(int graceMs) {
  if (!Running()) return;
  kill(pid_, SIGTERM);
  if (Wait(graceMs) >= 0) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  Wait(5000);
}

std::string ChildProcess::Stdout() const { return ReadFile(outPath_); }
std::string ChildProcess::Stderr() const { return ReadFile(errPath_); }

int RunCommand(const std::vector<std::string>& argv, int timeoutMs, std::string* output,
               const std::map<std::string, std::string>& extraEnv) {
  static int counter = 0;
  std::string base = TempRoot() + "/e2e-cmd-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  ChildProcess child;
  if (!child.Start(argv, base, extraEnv)) return -1;
  int status = child.Wait(timeoutMs);
  if (status < 0) child.Stop(1000);
  if (output != nullptr) *output = child.Stdout() + child.Stderr();
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return status;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

long FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

TempDir::TempDir() {
  std::string pattern = TempRoot() + "/orvalen-e2e-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  if (test != nullptr && test->result()->Failed()) {
    std::fprintf(stderr, "e2e: files of the failed test kept in %s\n", path_.c_str());
    return;
  }
  RunCommand({"rm", "-rf", path_}, 10000, nullptr);
}

ProbeResult ProbeVideo(const std::string& path) {
  ProbeResult result;
  std::string output;
  int status = RunCommand({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=codec_name,width,height,nb_read_frames", "-of", "default=noprint_wrappers=1",
                           path},
                          60000, &output);
  if (status != 0) {
    result.error = "ffprobe exit " + std::to_string(status) + ": " + output;
    return result;
  }
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "codec_name") result.codec = value;
    if (key == "width") result.width = std::atoi(value.c_str());
    if (key == "height") result.height = std::atoi(value.c_str());
    if (key == "nb_read_frames") result.frames = std::atol(value.c_str());
  }
  result.ok = result.frames > 0;
  if (!result.ok) result.error = "no frames in: " + output;
  return result;
}

std::string DecodeErrors(const std::string& path) {
  std::string output;
  int status = RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}, 60000, &output);
  if (status != 0 && output.empty()) output = "ffmpeg exit " + std::to_string(status);
  return output;
}

}  // namespace e2e
