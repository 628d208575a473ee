// The operating system's threads, reduced to what the worker classes need.
#pragma once

#include <cstdint>

namespace telvora {

typedef unsigned (*ThreadRoutine)(void* argument);

// An opaque thread handle; null when there is no thread.
typedef void* ThreadHandle;

// Starts a thread at once with the default stack. Null on failure; the id
// of the new thread is stored in *id before the routine runs and before the
// call returns. An exception leaving the routine ends only the thread.
ThreadHandle OsStartThread(ThreadRoutine routine, void* argument, uint32_t* id);

// True when the thread has ended within the time (kInfinite: no limit).
bool OsWaitThread(ThreadHandle handle, unsigned milliseconds);

// Called after a stop limit passed. Windows terminates the thread; POSIX
// has no safe way to, so it waits until the thread ends by itself.
// Returns true if the thread was really terminated.
bool OsTerminateThread(ThreadHandle handle);

// Releases the handle. The thread must have ended, or been terminated.
void OsCloseThread(ThreadHandle handle);

uint32_t OsCurrentThreadId();

}  // namespace telvora
