// Threads whose owner was destroyed on the thread itself cannot be joined
// by it. Their handles are parked here and closed once the thread has ended.
#pragma once

#include "threading/os_thread.h"

namespace telvora {

// Takes over a handle of a thread that is about to end by itself.
void AdoptEndingThread(ThreadHandle handle);

// Closes the parked handles of threads that have ended; never blocks on a
// running one.
void ReapEndedThreads();

}  // namespace telvora
