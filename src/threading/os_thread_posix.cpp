#include "threading/os_thread.h"

#include <pthread.h>

#include <new>

#include "platform/module.h"
#include "threading/event.h"

namespace telvora {
namespace {

struct ThreadState {
  pthread_t thread;
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  uint32_t id = 0;
  // Where the creator wants the id. Written here, before the routine runs,
  // so that a routine asking for its own id never races the creator.
  uint32_t* idOut = nullptr;
  CManualEvent started;
  CManualEvent ended;
};

void* Entry(void* p) {
  ThreadState* state = static_cast<ThreadState*>(p);
  state->id = platform::CurrentThreadId();
  if (state->idOut != nullptr) *state->idOut = state->id;
  state->started.Set();
  try {
    state->routine(state->argument);
  } catch (...) {
    // An exception leaving a thread would end the host's process.
  }
  // The state stays alive until OsCloseThread joins this thread.
  state->ended.Set();
  return nullptr;
}

}  // namespace

ThreadHandle OsStartThread(ThreadRoutine routine, void* argument, uint32_t* id) {
  ThreadState* state = new (std::nothrow) ThreadState();
  if (state == nullptr) return nullptr;
  state->routine = routine;
  state->argument = argument;
  state->idOut = id;
  if (pthread_create(&state->thread, nullptr, &Entry, state) != 0) {
    delete state;
    return nullptr;
  }
  state->started.Wait(kInfinite);
  return state;
}

bool OsWaitThread(ThreadHandle handle, unsigned milliseconds) {
  if (handle == nullptr) return true;
  return static_cast<ThreadState*>(handle)->ended.Wait(milliseconds);
}

bool OsTerminateThread(ThreadHandle handle) {
  if (handle != nullptr) static_cast<ThreadState*>(handle)->ended.Wait(kInfinite);
  return false;
}

void OsCloseThread(ThreadHandle handle) {
  if (handle == nullptr) return;
  ThreadState* state = static_cast<ThreadState*>(handle);
  // Never free what a running thread still uses.
  state->ended.Wait(kInfinite);
  pthread_join(state->thread, nullptr);
  delete state;
}

uint32_t OsCurrentThreadId() { return platform::CurrentThreadId(); }

}  // namespace telvora
