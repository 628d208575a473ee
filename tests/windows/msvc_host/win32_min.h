// The few kernel32 functions the host calls, declared by hand: it is built
// without the Windows SDK, as a program of the MSVC C++ ABI that only needs
// the system's DLLs. Linked against mingw-w64's import library.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The system's SYSTEMTIME, which the public header only names.
struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

extern "C" {
typedef void* HANDLE;
typedef void* HMODULE;
typedef int BOOL;
typedef unsigned long DWORD;
typedef void(__stdcall* FARPROC)();
struct SRWLOCK {
  void* Ptr;
};
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

#define ORVALEN_HOST_IMPORT __declspec(dllimport)
ORVALEN_HOST_IMPORT HMODULE __stdcall LoadLibraryA(const char* name);
ORVALEN_HOST_IMPORT FARPROC __stdcall GetProcAddress(HMODULE module, const char* name);
ORVALEN_HOST_IMPORT BOOL __stdcall FreeLibrary(HMODULE module);
ORVALEN_HOST_IMPORT DWORD __stdcall GetModuleFileNameA(HMODULE module, char* path, DWORD size);
ORVALEN_HOST_IMPORT DWORD __stdcall GetLastError();
ORVALEN_HOST_IMPORT HANDLE __stdcall GetStdHandle(DWORD which);
ORVALEN_HOST_IMPORT BOOL __stdcall WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
ORVALEN_HOST_IMPORT HANDLE __stdcall CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                                                 DWORD disposition, DWORD flags, HANDLE templ);
ORVALEN_HOST_IMPORT BOOL __stdcall CloseHandle(HANDLE handle);
ORVALEN_HOST_IMPORT BOOL __stdcall DeleteFileA(const char* name);
ORVALEN_HOST_IMPORT const char* __stdcall GetCommandLineA();
ORVALEN_HOST_IMPORT __declspec(noreturn) void __stdcall ExitProcess(unsigned code);
ORVALEN_HOST_IMPORT void __stdcall Sleep(DWORD ms);
ORVALEN_HOST_IMPORT uint64_t __stdcall GetTickCount64();
ORVALEN_HOST_IMPORT void __stdcall GetSystemTime(_SYSTEMTIME* time);
ORVALEN_HOST_IMPORT BOOL __stdcall SystemTimeToFileTime(const _SYSTEMTIME* time, FILETIME* out);
ORVALEN_HOST_IMPORT HANDLE __stdcall GetProcessHeap();
ORVALEN_HOST_IMPORT void* __stdcall HeapAlloc(HANDLE heap, DWORD flags, size_t size);
ORVALEN_HOST_IMPORT BOOL __stdcall HeapFree(HANDLE heap, DWORD flags, void* block);
ORVALEN_HOST_IMPORT void __stdcall AcquireSRWLockExclusive(SRWLOCK* lock);
ORVALEN_HOST_IMPORT void __stdcall ReleaseSRWLockExclusive(SRWLOCK* lock);
}

constexpr DWORD kStdOutput = static_cast<DWORD>(-11);
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kCreateAlways = 2;
inline HANDLE InvalidHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
