// The operating system's threads, reduced to what the worker classes need.
#pragma once

#include <cstdint>

namespace telvora {

typedef unsigned (*ThreadRoutine)(void* argument);

// An opaque thread handle; null when there is no thread.
typedef void* ThreadHandle;

// Address space reserved for the stack of every worker thread, instead of
// the executable's default (1 MiB on Windows): a 32-bit host runs six
// workers per camera in 2 GiB. Committed only as far as it is used.
constexpr uint32_t kWorkerStackBytes = 256 * 1024;

// Starts a thread at once with a stack of kWorkerStackBytes. Null on
// failure; the id
// of the new thread is stored in *id before the routine runs and before the
// call returns. An exception leaving the routine ends only the thread.
ThreadHandle OsStartThread(ThreadRoutine routine, void* argument, uint32_t* id);

// True when the thread has ended within the time (kInfinite: no limit).
bool OsWaitThread(ThreadHandle handle, unsigned milliseconds);

// True where a thread can be terminated safely (Windows).
extern const bool kOsTerminatesThreads;

// Called after a stop limit passed. Windows terminates the thread; POSIX
// has no safe way to, so it waits until the thread ends by itself.
// Returns true if the thread was really terminated.
bool OsTerminateThread(ThreadHandle handle);

// Releases the handle. The thread must have ended, or been terminated.
void OsCloseThread(ThreadHandle handle);

// Releases the handle of a thread that may still run; it ends by itself and
// leaves nothing behind.
void OsDetachThread(ThreadHandle handle);

uint32_t OsCurrentThreadId();

// The deepest stack any worker of this process has used so far, in bytes
// rounded up to whole pages, as seen when each ended; 0 where unknown
// (Windows).
uint32_t OsDeepestWorkerStack();

}  // namespace telvora
