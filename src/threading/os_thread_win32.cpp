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
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
};

unsigned __stdcall Entry(void* p) {
  ThreadState* state = static_cast<ThreadState*>(p);
  try {
    return state->routine(state->argument);
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
  // Created suspended so that the id is in place before the routine runs.
  unsigned threadId = 0;
  const uintptr_t handle = _beginthreadex(nullptr, 0, &Entry, state, CREATE_SUSPENDED, &threadId);
  if (handle == 0 || handle == static_cast<uintptr_t>(-1)) {
    delete state;
    return nullptr;
  }
  state->handle = reinterpret_cast<HANDLE>(handle);
  if (id != nullptr) *id = threadId;
  if (::ResumeThread(state->handle) == static_cast<DWORD>(-1)) {
    ::TerminateThread(state->handle, 0);
    ::CloseHandle(state->handle);
    delete state;
    return nullptr;
  }
  return state;
}

bool OsWaitThread(ThreadHandle handle, unsigned milliseconds) {
  if (handle == nullptr) return true;
  const DWORD result = ::WaitForSingleObject(static_cast<ThreadState*>(handle)->handle, milliseconds);
  // A failed wait ends the wait as well; only a time-out means "still running".
  return result != WAIT_TIMEOUT;
}

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
  ThreadState* state = static_cast<ThreadState*>(handle);
  ::CloseHandle(state->handle);
  delete state;
}

uint32_t OsCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

}  // namespace telvora
