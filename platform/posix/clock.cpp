// The monotonic clock and the periodic timer: one thread per timer sleeping to
// absolute deadlines with clock_nanosleep, so lateness never accumulates.
#include "platform/clock.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/last_error.h"
#include "platform/posix/thread_priority.h"

namespace platform {

namespace {

uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

timespec ToTimespec(uint64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
}

// After a stall longer than this (a suspended machine, a debugger) the timer
// starts a fresh schedule instead of firing every missed period in one burst.
constexpr uint64_t kMaxCatchUpNs = 1000000000u;

}  // namespace

uint32_t MonotonicMs() { return static_cast<uint32_t>(NowNs() / 1000000u); }
uint64_t MonotonicUs() { return NowNs() / 1000u; }

struct PeriodicTimer {
  pthread_t thread{};
  uint64_t periodNs = 0;
  TimerCallback tick = nullptr;
  void* arg = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<bool> selfRelease{false};  // stopped from its own callback
};

namespace {

void* TimerThread(void* raw) {
  PeriodicTimer* timer = static_cast<PeriodicTimer*>(raw);
  uint64_t deadline = NowNs() + timer->periodNs;
  while (!timer->stop.load(std::memory_order_acquire)) {
    timespec until = ToTimespec(deadline);
    int err = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    if (err == EINTR) continue;
    // Every period whose deadline has passed gets its tick, late ones at once.
    uint64_t now = NowNs();
    if (now > deadline && now - deadline > kMaxCatchUpNs) {
      deadline = now;
    }
    while (deadline <= now && !timer->stop.load(std::memory_order_acquire)) {
      timer->tick(timer->arg);
      deadline += timer->periodNs;
    }
  }
  if (timer->selfRelease.load(std::memory_order_acquire)) delete timer;
  return nullptr;
}

}  // namespace

PeriodicTimer* PeriodicTimerStart(uint32_t periodMs, TimerCallback tick, void* arg) {
  if (periodMs == 0 || tick == nullptr) {
    posix::SetLastError(EINVAL);
    return nullptr;
  }
  PeriodicTimer* timer = new PeriodicTimer;
  timer->periodNs = static_cast<uint64_t>(periodMs) * 1000000u;
  timer->tick = tick;
  timer->arg = arg;

  // Real-time first; where that is not permitted, the ordinary policy.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  sched_param param{};
  param.sched_priority = posix::kFifoPriorityTimer;
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  pthread_attr_setschedparam(&attr, &param);
  int err = pthread_create(&timer->thread, &attr, TimerThread, timer);
  pthread_attr_destroy(&attr);
  if (err != 0) err = pthread_create(&timer->thread, nullptr, TimerThread, timer);
  if (err != 0) {
    delete timer;
    posix::SetLastError(err);
    return nullptr;
  }
  return timer;
}

void PeriodicTimerStop(PeriodicTimer* timer) {
  if (timer == nullptr) return;
  if (pthread_equal(timer->thread, pthread_self())) {
    // Called from the tick itself: the thread cannot wait for itself, so it
    // ends after this callback and releases the timer on its way out.
    timer->selfRelease.store(true, std::memory_order_release);
    pthread_detach(timer->thread);
    timer->stop.store(true, std::memory_order_release);
    return;
  }
  timer->stop.store(true, std::memory_order_release);
  pthread_join(timer->thread, nullptr);
  delete timer;
}

}  // namespace platform
