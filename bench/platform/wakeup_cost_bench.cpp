// What one thread wake-up costs on this machine: a thread that does nothing
// but sleep to absolute deadlines (as the 2 ms timer does), under the normal
// and the real-time policy, and a wake through a semaphore from another
// thread (as the link thread is woken). The process's CPU time per wake-up,
// so the link figures can be read as a count of wake-ups times this cost.
//   bench_wakeup_cost [seconds]
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "platform/sync.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() { return platform::MonotonicUs() / 1e6; }

void Report(const char* what, double cpu, double wall, long wakes) {
  std::printf("%-44s %6.2f %% of a core, %6ld wake-ups/s, %5.1f us CPU each\n", what,
              100.0 * cpu / wall, static_cast<long>(wakes / wall), 1e6 * cpu / wakes);
}

// Absolute-deadline sleeps of periodUs for `seconds`, nothing else.
void Sleeper(double seconds, long periodUs, bool fifo) {
  std::atomic<long> wakes{0};
  double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  std::thread t([&] {
    if (fifo) {
      sched_param p{};
      p.sched_priority = 20;
      if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) != 0) std::printf("(no SCHED_FIFO) ");
    }
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    long n = static_cast<long>(seconds * 1e6 / periodUs);
    for (long i = 0; i < n; i++) {
      at.tv_nsec += periodUs * 1000;
      while (at.tv_nsec >= 1000000000) {
        at.tv_nsec -= 1000000000;
        at.tv_sec++;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
      wakes.fetch_add(1, std::memory_order_relaxed);
    }
  });
  t.join();
  char what[64];
  std::snprintf(what, sizeof what, "sleep loop, %ld us period, %s", periodUs, fifo ? "SCHED_FIFO" : "normal");
  Report(what, CpuSeconds() - cpu0, WallSeconds() - wall0, wakes.load());
}

// Two sleepers at once, as the timer and an idle link thread are: periods
// of 2 ms and cycleUs, started on the same deadline, so that with a cycle
// of 4 ms every wake-up of the second falls on one of the first.
void TwoSleepers(double seconds, long cycleUs) {
  std::atomic<long> wakes{0};
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  auto loop = [&](long periodUs, bool fifo) {
    if (fifo) {
      sched_param p{};
      p.sched_priority = 20;
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    }
    timespec at = start;
    long n = static_cast<long>(seconds * 1e6 / periodUs);
    for (long i = 0; i < n; i++) {
      at.tv_nsec += periodUs * 1000;
      while (at.tv_nsec >= 1000000000) {
        at.tv_nsec -= 1000000000;
        at.tv_sec++;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
      wakes.fetch_add(1, std::memory_order_relaxed);
    }
  };
  double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  std::thread a(loop, 2000L, true), b(loop, cycleUs, false);
  a.join();
  b.join();
  char what[64];
  std::snprintf(what, sizeof what, "2 ms (FIFO) and %ld us sleepers", cycleUs);
  Report(what, CpuSeconds() - cpu0, WallSeconds() - wall0, wakes.load());
}

// A waiter woken through a semaphore by a 2 ms sleeper: two wake-ups a round.
void SemaphoreWake(double seconds) {
  platform::Semaphore* sem = platform::SemaphoreCreate(0, 1, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<long> wakes{0};
  double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  std::thread waiter([&] {
    while (!stop.load()) {
      if (platform::SemaphoreWait(sem, 50) == platform::WAIT_SIGNALED) wakes.fetch_add(1);
    }
  });
  long n = static_cast<long>(seconds * 500);
  for (long i = 0; i < n; i++) {
    platform::SleepMs(2);
    wakes.fetch_add(1);
    platform::SemaphoreRelease(sem);
  }
  stop.store(true);
  waiter.join();
  Report("2 ms sleeper releasing a semaphore waiter", CpuSeconds() - cpu0, WallSeconds() - wall0,
         wakes.load());
  platform::SemaphoreClose(sem);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (seconds <= 0) seconds = 3.0;
  std::printf("wake-up cost, %.1f s per figure\n", seconds);
  Sleeper(seconds, 2000, false);
  Sleeper(seconds, 2000, true);
  Sleeper(seconds, 5000, false);
  Sleeper(seconds, 20000, false);
  TwoSleepers(seconds, 5000);
  TwoSleepers(seconds, 4000);
  SemaphoreWake(seconds);
  return 0;
}
