#include "threading/os_thread.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

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
  // The thread and its handle: whichever lets go last frees the state.
  std::atomic<int> holders{2};
};

void LetGo(ThreadState* state) {
  if (state->holders.fetch_sub(1) == 1) delete state;
}

std::atomic<uint32_t> g_deepestStack{0};

// Pages of a thread's stack are resident once touched, so the lowest
// resident page marks the deepest the stack has grown below `top`, the
// thread's first frame (above it lie the C library's thread data and TLS).
// A stack that the C library reuses may show an earlier thread's depth: an
// upper bound.
void NoteStackDepth(const char* top) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* base = nullptr;
  size_t size = 0;
  const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
  pthread_attr_destroy(&attr);
  const long page = sysconf(_SC_PAGESIZE);
  if (!known || page <= 0 || size == 0) return;
  const size_t pages = (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page);
  std::vector<unsigned char> resident(pages);
  if (mincore(base, size, resident.data()) != 0) return;
  size_t lowest = 0;
  while (lowest < pages && (resident[lowest] & 1) == 0) ++lowest;
  const char* deepest = static_cast<const char*>(base) + lowest * static_cast<size_t>(page);
  if (lowest == pages || top <= deepest) return;
  const uint32_t depth = static_cast<uint32_t>(top - deepest);
  uint32_t seen = g_deepestStack.load();
  while (depth > seen && !g_deepestStack.compare_exchange_weak(seen, depth)) {
  }
}

void* Entry(void* p) {
  char top = 0;
  ThreadState* state = static_cast<ThreadState*>(p);
  state->id = platform::CurrentThreadId();
  if (state->idOut != nullptr) *state->idOut = state->id;
  state->started.Set();
  try {
    state->routine(state->argument);
  } catch (...) {
    // An exception leaving a thread would end the host's process.
  }
  try {
    NoteStackDepth(&top);
  } catch (...) {
  }
  // The state stays alive until OsCloseThread joins this thread, or, for a
  // detached one, until this last use.
  state->ended.Set();
  LetGo(state);
  return nullptr;
}

}  // namespace

ThreadHandle OsStartThread(ThreadRoutine routine, void* argument, uint32_t* id) {
  ThreadState* state = new (std::nothrow) ThreadState();
  if (state == nullptr) return nullptr;
  state->routine = routine;
  state->argument = argument;
  state->idOut = id;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete state;
    return nullptr;
  }
  pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  const int created = pthread_create(&state->thread, &attr, &Entry, state);
  pthread_attr_destroy(&attr);
  if (created != 0) {
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

const bool kOsTerminatesThreads = false;

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

void OsDetachThread(ThreadHandle handle) {
  if (handle == nullptr) return;
  ThreadState* state = static_cast<ThreadState*>(handle);
  pthread_detach(state->thread);
  LetGo(state);
}

uint32_t OsCurrentThreadId() { return platform::CurrentThreadId(); }

uint32_t OsDeepestWorkerStack() { return g_deepestStack.load(); }

}  // namespace telvora
