// Process-level services of the operating system: where the host lives,
// which host core version runs, dynamic libraries, random ids and clocks.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
// windows.h defines FreeModule as a macro. Take it in here, once, and drop
// the macro, so that the include order of a caller does not matter.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef FreeModule
#endif

// Calling convention of entries looked up in our own Windows DLLs
// (Kovadel's ParseMpegHeader is __stdcall there).
#ifdef _WIN32
#define ORVALEN_STDCALL __stdcall
#else
#define ORVALEN_STDCALL
#endif

namespace telvora {
namespace platform {

// Directory of the host's executable with its trailing separator, or "".
// On POSIX the variable ORVALEN_HOST_DIR takes its place when set.
std::string GetHostDirectory();

struct HostVersion {
  uint16_t major;
  uint16_t minor;
  uint16_t build;
  uint16_t revision;
};

// Product version of the host core library. False when none can be read;
// the caller then assumes 5.12.0.0. Windows reads the library's version
// resource and, when there is none, BRENLOW_VERSION as POSIX does.
bool ReadHostCoreVersion(const char* libraryName, HostVersion* version);

// Sets a variable of the process environment, or removes it for a null
// value, so that getenv sees the change. False on failure.
bool SetEnvironmentValue(const char* name, const char* value);

// Number of processors of the machine (at least 1).
unsigned GetProcessorCount();

// Opaque handle of a loaded library; null on failure.
void* LoadModule(const char* name);
void* GetModuleSymbol(void* module, const char* name);
void FreeModule(void* module);
// Name of a library of ours as the platform spells it ("Kovadel" gives
// "Kovadel.so" or "Kovadel.dll").
std::string ModuleFileName(const char* baseName);
// Directory of the library holding this code, with its trailing separator.
std::string GetOwnModuleDirectory();

// 16 random bytes (a GUID on Windows).
void CreateRandomId(uint8_t out[16]);

// A millisecond clock that wraps at 2^32 (timeGetTime on Windows).
uint32_t GetMillisecondClock();

// Id of the calling thread, never 0.
uint32_t CurrentThreadId();

}  // namespace platform
}  // namespace telvora
