#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/version_text.h"
#include "platform/module.h"

namespace telvora {
namespace platform {
namespace {

// Everything up to and including the last backslash; a path without one is
// taken whole.
std::string DirectoryOf(const char* path, DWORD length) {
  std::string full(path, length);
  const size_t slash = full.rfind('\\');
  return slash == std::string::npos ? full : full.substr(0, slash + 1);
}

std::string ModulePathDirectory(HMODULE module) {
  char path[512];
  const DWORD n = ::GetModuleFileNameA(module, path, 511);
  // A full buffer means a truncated path: no directory is better than a wrong one.
  if (n == 0 || n >= 511) return std::string();
  path[n] = '\0';
  return DirectoryOf(path, n);
}


// "6.3.0.0" from the environment, for hosts without a version resource.
bool ReadVersionFromEnvironment(HostVersion* version) {
  uint16_t parts[4];
  if (!ParseVersionText(std::getenv("BRENLOW_VERSION"), parts)) return false;
  *version = HostVersion{parts[0], parts[1], parts[2], parts[3]};
  return true;
}

bool ReadVersionResource(const char* libraryName, HostVersion* version) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(libraryName, &ignored);
  if (size == 0) return false;
  std::vector<unsigned char> block(size);
  if (::GetFileVersionInfoA(libraryName, 0, size, block.data()) == FALSE) return false;
  void* root = nullptr;
  UINT rootLength = 0;
  char rootPath[] = "\\";
  if (::VerQueryValueA(block.data(), rootPath, &root, &rootLength) == FALSE || root == nullptr ||
      rootLength < sizeof(VS_FIXEDFILEINFO))
    return false;
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, root, sizeof(info));
  version->major = HIWORD(info.dwProductVersionMS);
  version->minor = LOWORD(info.dwProductVersionMS);
  version->build = HIWORD(info.dwProductVersionLS);
  version->revision = LOWORD(info.dwProductVersionLS);
  return true;
}

}  // namespace

std::string GetHostDirectory() { return ModulePathDirectory(nullptr); }

bool ReadHostCoreVersion(const char* libraryName, HostVersion* version) {
  if (libraryName == nullptr || version == nullptr) return false;
  return ReadVersionResource(libraryName, version) || ReadVersionFromEnvironment(version);
}

bool SetEnvironmentValue(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0') return false;
  // The C runtime's copy is what getenv reads; it copies the entry, and
  // "NAME=" removes the variable.
  const std::string entry = std::string(name) + "=" + (value != nullptr ? value : "");
  return _putenv(entry.c_str()) == 0;
}

unsigned GetProcessorCount() {
  SYSTEM_INFO info;
  std::memset(&info, 0, sizeof(info));
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
}

void* LoadModule(const char* name) {
  if (name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::LoadLibraryA(name));
}

void* GetModuleSymbol(void* module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void FreeModule(void* module) {
  if (module != nullptr) ::FreeLibrary(static_cast<HMODULE>(module));
}

std::string ModuleFileName(const char* baseName) { return std::string(baseName) + ".dll"; }

std::string GetOwnModuleDirectory() {
  HMODULE self = nullptr;
  if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&GetOwnModuleDirectory), &self) == FALSE)
    return std::string();
  return ModulePathDirectory(self);
}

void CreateRandomId(uint8_t out[16]) {
  GUID guid;
  // All zero tells the caller that no GUID could be made.
  if (::CoCreateGuid(&guid) != S_OK) std::memset(&guid, 0, sizeof(guid));
  std::memcpy(out, &guid, 16);
}

uint32_t GetMillisecondClock() { return static_cast<uint32_t>(::timeGetTime()); }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

}  // namespace platform
}  // namespace telvora
