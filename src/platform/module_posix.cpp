#include "platform/module.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "base/version_text.h"

namespace telvora {
namespace platform {

std::string GetHostDirectory() {
  const char* overrideDir = std::getenv("ORVALEN_HOST_DIR");
  if (overrideDir != nullptr && overrideDir[0] != '\0') {
    std::string dir(overrideDir);
    if (dir.back() != '/') dir += '/';
    return dir;
  }
  char path[512];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  std::string full(path, static_cast<size_t>(n));
  size_t slash = full.rfind('/');
  if (slash == std::string::npos) return full;
  return full.substr(0, slash + 1);
}

bool ReadHostCoreVersion(const char* /*libraryName*/, HostVersion* version) {
  // POSIX hosts publish their version in the environment, e.g. "6.3.0.0".
  if (version == nullptr) return false;
  uint16_t parts[4];
  if (!ParseVersionText(std::getenv("BRENLOW_VERSION"), parts)) return false;
  *version = HostVersion{parts[0], parts[1], parts[2], parts[3]};
  return true;
}

bool SetEnvironmentValue(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0') return false;
  return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

unsigned GetProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

void* LoadModule(const char* name) {
  if (name == nullptr) return nullptr;
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* GetModuleSymbol(void* module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return dlsym(module, name);
}

void FreeModule(void* module) {
  if (module != nullptr) dlclose(module);
}

std::string ModuleFileName(const char* baseName) { return std::string(baseName) + ".so"; }

std::string GetOwnModuleDirectory() {
  Dl_info info;
  std::memset(&info, 0, sizeof(info));
  if (dladdr(reinterpret_cast<void*>(&GetOwnModuleDirectory), &info) == 0 || info.dli_fname == nullptr)
    return std::string();
  std::string path(info.dli_fname);
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void CreateRandomId(uint8_t out[16]) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  size_t got = 0;
  if (fd >= 0) {
    while (got < 16) {
      ssize_t n = read(fd, out + got, 16 - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(fd);
  }
  if (got < 16) {
    std::random_device rd;
    for (size_t i = got; i < 16; ++i) out[i] = static_cast<uint8_t>(rd());
  }
}

uint32_t GetMillisecondClock() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t CurrentThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

}  // namespace platform
}  // namespace telvora
