#include <windows.h>
#include <process.h>

#include <new>

#include "threading/os_thread.h"

namespace telvora {
namespace {

// Lives from the start until OsCloseThread, so that a terminated thread
// leaves nothing behind that another thread could still touch.
struct ThreadState {
  HANDLE handle = nullptr;
  HANDLE started = nullptr;
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
};

// How long the starter waits for the new thread to reach its routine.
constexpr DWORD kStartLimitMs = 10000;

void FreeState(ThreadState* state) {
  if (state->handle != nullptr) ::CloseHandle(state->handle);
  if (state->started != nullptr) ::CloseHandle(state->started);
  delete state;
}

unsigned __stdcall Entry(void* p) {
  ThreadState* state = static_cast<ThreadState*>(p);
  // Copied first: a detached thread's state may be freed once it started.
  const ThreadRoutine routine = state->routine;
  void* const argument = state->argument;
  // Past the C runtime's and the loader's thread set-up from here on, so a
  // later TerminateThread cannot leave their locks taken.
  ::SetEvent(state->started);
  try {
    return routine(argument);
  } catch (...) {
    // An exception leaving a thread would end the host's process.
    return 0;
  }
}

}  // namespace

ThreadHandle OsStartThread(ThreadRoutine routine, void* argument, uint32_t* id) {
  if (routine == nullptr) return nullptr;
  ThreadState* state = new (std::nothrow) ThreadState();
  if (state == nullptr) return nullptr;
  state->routine = routine;
  state->argument = argument;
  state->started = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (state->started == nullptr) {
    FreeState(state);
    return nullptr;
  }
  // Created suspended so that the id is in place before the routine runs.
  unsigned threadId = 0;
  const uintptr_t handle = _beginthreadex(nullptr, kWorkerStackBytes, &Entry, state,
                                         CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
  if (handle == 0 || handle == static_cast<uintptr_t>(-1)) {
    FreeState(state);
    return nullptr;
  }
  state->handle = reinterpret_cast<HANDLE>(handle);
  if (id != nullptr) *id = threadId;
  if (::ResumeThread(state->handle) == static_cast<DWORD>(-1)) {
    // Never ran: nothing of the runtime's is held yet.
    ::TerminateThread(state->handle, 0);
    FreeState(state);
    return nullptr;
  }
  ::WaitForSingleObject(state->started, kStartLimitMs);
  return state;
}

bool OsWaitThread(ThreadHandle handle, unsigned milliseconds) {
  if (handle == nullptr) return true;
  const DWORD result = ::WaitForSingleObject(static_cast<ThreadState*>(handle)->handle, milliseconds);
  // A failed wait ends the wait as well; only a time-out means "still running".
  return result != WAIT_TIMEOUT;
}

const bool kOsTerminatesThreads = true;

bool OsTerminateThread(ThreadHandle handle) {
  if (handle == nullptr) return false;
  HANDLE thread = static_cast<ThreadState*>(handle)->handle;
  if (::TerminateThread(thread, 0) == FALSE) return false;
  // TerminateThread only asks; the handle is signalled once the thread is gone.
  ::WaitForSingleObject(thread, 5000);
  return true;
}

void OsCloseThread(ThreadHandle handle) {
  if (handle == nullptr) return;
  FreeState(static_cast<ThreadState*>(handle));
}

// The thread reads nothing of the state once its routine runs.
void OsDetachThread(ThreadHandle handle) { OsCloseThread(handle); }

uint32_t OsCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

uint32_t OsDeepestWorkerStack() { return 0; }

}  // namespace telvora
