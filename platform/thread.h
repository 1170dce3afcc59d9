// Threads with a requested priority (best effort).
#pragma once
#include <cstddef>

namespace platform {

struct Thread;  // opaque

enum ThreadPriority : int {
  PRIORITY_NORMAL = 0,
  PRIORITY_ABOVE_NORMAL = 1,
  PRIORITY_TIME_CRITICAL = 2,
};

using ThreadFunction = void (*)(void* arg);

// Starts `fn(arg)`. stackSize 0 takes the default; small requests are raised
// to a floor (256 KiB on POSIX, where the request is the whole stack).
// Returns null on failure.
Thread* ThreadStart(ThreadFunction fn, void* arg, size_t stackSize = 0);
// Raises (or lowers) the thread's priority where permitted; returns false
// and leaves it unchanged otherwise. Null means the calling thread.
bool ThreadSetPriority(Thread* thread, int priority);
// Waits for the thread to end and releases its handle.
bool ThreadJoin(Thread* thread);
// Releases the handle of a thread that runs on (never joined).
void ThreadDetach(Thread* thread);

}  // namespace platform
