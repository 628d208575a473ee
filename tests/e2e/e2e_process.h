// Child processes for the end-to-end tests: the test camera, the capture
// host and FFmpeg, each with its output in a file and every wait bounded.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched in PATH) with stdout and stderr into files
  // named after logBase. extraEnv is added to the environment.
  bool Start(const std::vector<std::string>& argv, const std::string& logBase,
             const std::map<std::string, std::string>& extraEnv = {});

  // Waits until stdout holds a line beginning with prefix; returns that
  // line, or "" after timeoutMs or when the child ended.
  std::string WaitForLine(const std::string& prefix, int timeoutMs);

  // Exit status (128 + signal for a signal), or -1 while still running
  // after timeoutMs.
  int Wait(int timeoutMs);
  void Signal(int signal);
  // SIGTERM, then SIGKILL after graceMs; reaps the child.
  void Stop(int graceMs = 5000);

  bool Running();
  std::string Stdout() const;
  std::string Stderr() const;
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_;
  std::string errPath_;
};

// Runs a command to its end within timeoutMs (then kills it); returns its
// exit status (-1 on time-out) and puts stdout+stderr into *output.
int RunCommand(const std::vector<std::string>& argv, int timeoutMs, std::string* output,
               const std::map<std::string, std::string>& extraEnv = {});

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
long FileSize(const std::string& path);

// A fresh folder under the system temp folder, removed by the destructor
// unless the test failed (so its files can be read).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// What ffprobe reads from a media file: decoded frame count and size.
struct ProbeResult {
  bool ok = false;
  std::string codec;
  int width = 0;
  int height = 0;
  long frames = 0;
  std::string error;
};
ProbeResult ProbeVideo(const std::string& path);
// ffmpeg -v error -i FILE -f null -: "" when the whole file decodes cleanly.
std::string DecodeErrors(const std::string& path);

}  // namespace e2e
