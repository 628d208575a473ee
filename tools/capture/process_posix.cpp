#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process.h"

namespace capture {

std::string OwnDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  std::string full(path, static_cast<size_t>(n));
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

void* OpenLibrary(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "unknown error";
  }
  return library;
}

void* LibrarySymbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

void CloseLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

bool MakeDirectories(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "empty folder name";
    return false;
  }
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = path + " is not a folder";
    return false;
  }
  return true;
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
  // Written beside and renamed, so a reader never sees half a file.
  std::string temporary = path + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = (std::fclose(file) == 0) && ok;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool SetEnvironment(const char* name, const std::string& value) { return setenv(name, value.c_str(), 1) == 0; }

namespace {
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitStopSignal(int timeoutMs) {
  sigset_t set = StopSignals();
  struct timespec wait;
  wait.tv_sec = timeoutMs / 1000;
  wait.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
  int signal = sigtimedwait(&set, nullptr, &wait);
  return signal > 0 ? signal : 0;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace capture
