// Counting semaphores, a re-entrant lock and sleeping.
#pragma once
#include <cstdint>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

struct Semaphore;  // opaque

enum WaitResult : int { WAIT_SIGNALED = 0, WAIT_TIMEOUT = 1, WAIT_FAILED = 2 };

// A semaphore holds between 0 and `maximum` units. With a name, a second
// create of the same name (while the first is open) gives the same
// semaphore, as named semaphores do (its first counts stand, LastError()
// gives EEXIST); names are private to the process. Each create is matched by
// one close; the semaphore goes when the last is closed. Null when
// 0 <= initial <= maximum, 0 < maximum does not hold.
Semaphore* SemaphoreCreate(int initial, int maximum, const char* name = nullptr);
// Waits up to timeoutMs (kInfinite: no limit) for one unit; WaitResult.
int SemaphoreWait(Semaphore* sem, uint32_t timeoutMs);
// Adds `count` units; fails and adds nothing when that would pass the maximum.
bool SemaphoreRelease(Semaphore* sem, int count = 1);
void SemaphoreClose(Semaphore* sem);

struct RecursiveLock;  // opaque; re-entrant for its owning thread
RecursiveLock* LockCreate();
void LockTake(RecursiveLock* lock);
void LockRelease(RecursiveLock* lock);
void LockDestroy(RecursiveLock* lock);

void SleepMs(uint32_t ms);

}  // namespace platform
