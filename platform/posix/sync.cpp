// Semaphores and the re-entrant lock on the C++ runtime's mutexes, which sit on
// pthreads and wait against the monotonic clock.
#include "platform/sync.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/last_error.h"

namespace platform {

struct Semaphore {
  std::mutex mutex;
  std::condition_variable available;
  int count = 0;
  int maximum = 1;
  // Named semaphores only: the name and how many creates share this one.
  std::string name;
  int references = 1;
  Semaphore* nextNamed = nullptr;
};

namespace {

// The named semaphores of the process, as a list: there are a handful.
std::mutex gNamedMutex;
Semaphore* gNamed = nullptr;

Semaphore* FindNamed(const char* name) {
  for (Semaphore* s = gNamed; s != nullptr; s = s->nextNamed) {
    if (s->name == name) return s;
  }
  return nullptr;
}

}  // namespace

Semaphore* SemaphoreCreate(int initial, int maximum, const char* name) {
  if (maximum <= 0 || initial < 0 || initial > maximum) {
    posix::SetLastError(EINVAL);
    return nullptr;
  }
  if (name == nullptr || name[0] == '\0') {
    Semaphore* sem = new Semaphore;
    sem->count = initial;
    sem->maximum = maximum;
    return sem;
  }
  std::lock_guard<std::mutex> hold(gNamedMutex);
  if (Semaphore* existing = FindNamed(name)) {
    // As with named semaphores elsewhere, the first create's counts stand;
    // EEXIST tells a caller that asks that the name was open already.
    existing->references++;
    posix::SetLastError(EEXIST);
    return existing;
  }
  Semaphore* sem = new Semaphore;
  sem->count = initial;
  sem->maximum = maximum;
  sem->name = name;
  sem->nextNamed = gNamed;
  gNamed = sem;
  posix::SetLastError(0);
  return sem;
}

int SemaphoreWait(Semaphore* sem, uint32_t timeoutMs) {
  if (sem == nullptr) {
    posix::SetLastError(EINVAL);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> hold(sem->mutex);
  auto ready = [sem] { return sem->count > 0; };
  if (timeoutMs == kInfinite) {
    sem->available.wait(hold, ready);
  } else if (!sem->available.wait_until(
                 hold, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs),
                 ready)) {
    return WAIT_TIMEOUT;
  }
  sem->count--;
  return WAIT_SIGNALED;
}

bool SemaphoreRelease(Semaphore* sem, int count) {
  if (sem == nullptr || count <= 0) {
    posix::SetLastError(EINVAL);
    return false;
  }
  // Notified under the mutex: a waiter that wakes and closes the semaphore
  // must not find this thread still inside it.
  std::lock_guard<std::mutex> hold(sem->mutex);
  if (count > sem->maximum - sem->count) {
    posix::SetLastError(EOVERFLOW);
    return false;
  }
  sem->count += count;
  if (count == 1) {
    sem->available.notify_one();
  } else {
    sem->available.notify_all();
  }
  return true;
}

void SemaphoreClose(Semaphore* sem) {
  if (sem == nullptr) return;
  if (!sem->name.empty()) {
    std::lock_guard<std::mutex> hold(gNamedMutex);
    if (--sem->references > 0) return;
    for (Semaphore** link = &gNamed; *link != nullptr; link = &(*link)->nextNamed) {
      if (*link == sem) {
        *link = sem->nextNamed;
        break;
      }
    }
  }
  delete sem;
}

struct RecursiveLock {
  std::recursive_mutex mutex;
};

RecursiveLock* LockCreate() { return new RecursiveLock; }
void LockTake(RecursiveLock* lock) { lock->mutex.lock(); }
void LockRelease(RecursiveLock* lock) { lock->mutex.unlock(); }
void LockDestroy(RecursiveLock* lock) { delete lock; }

void SleepMs(uint32_t ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // An absolute deadline, so that an interrupted sleep does not start over.
  uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + static_cast<uint64_t>(ms) * 1000000u;
  timespec until{now.tv_sec + static_cast<time_t>(ns / 1000000000u),
                 static_cast<long>(ns % 1000000000u)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace platform
