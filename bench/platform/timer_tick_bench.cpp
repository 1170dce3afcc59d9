// The 2 ms periodic timer's tick error: how late each tick runs against its
// deadline, and how far each gap between two ticks is from the period.
//   bench_timer_tick [--ticks N] [--period MS] [--load THREADS]
// --load starts busy threads at normal priority, to see the timer hold up
// while the machine's cores are taken.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

using namespace platform;

namespace {

struct Log {
  std::vector<uint64_t> at;
  std::atomic<size_t> count{0};
  Semaphore* done = nullptr;
  std::atomic<int> policy{-1};
};

void Tick(void* raw) {
  Log* log = static_cast<Log*>(raw);
  size_t n = log->count.load(std::memory_order_relaxed);
  if (n == 0) {
    int policy;
    sched_param param;
    pthread_getschedparam(pthread_self(), &policy, &param);
    log->policy.store(policy);
  }
  if (n < log->at.size()) {
    log->at[n] = MonotonicUs();
    log->count.store(n + 1, std::memory_order_release);
    if (n + 1 == log->at.size()) SemaphoreRelease(log->done);
  }
}

void Report(const char* what, std::vector<int64_t> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[static_cast<size_t>(q * (v.size() - 1))]; };
  std::printf("%-28s p50 %6lld us   p99 %6lld us   max %6lld us\n", what,
              static_cast<long long>(at(0.50)), static_cast<long long>(at(0.99)),
              static_cast<long long>(v.back()));
}

}  // namespace

int main(int argc, char** argv) {
  size_t ticks = 5000;
  uint32_t periodMs = 2;
  int load = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--ticks")) ticks = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--period")) periodMs = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--load")) load = std::atoi(argv[i + 1]);
  }
  if (ticks < 10 || periodMs == 0) return 2;

  std::atomic<bool> stop{false};
  std::vector<std::thread> burners;
  for (int i = 0; i < load; i++) {
    burners.emplace_back([&stop] {
      volatile uint64_t x = 0;
      while (!stop.load(std::memory_order_relaxed)) x = x + 1;
    });
  }

  Log log;
  log.at.resize(ticks);
  log.done = SemaphoreCreate(0, 1);
  PeriodicTimer* timer = PeriodicTimerStart(periodMs, Tick, &log);
  if (timer == nullptr) {
    std::fprintf(stderr, "timer did not start\n");
    return 1;
  }
  SemaphoreWait(log.done, kInfinite);
  PeriodicTimerStop(timer);
  stop.store(true);
  for (std::thread& t : burners) t.join();

  // The deadlines lie on a grid of the period; its origin is taken from the
  // tick closest to it, so lateness is measured against the best tick.
  const int64_t period = static_cast<int64_t>(periodMs) * 1000;
  int64_t origin = INT64_MAX;
  for (size_t k = 0; k < ticks; k++) {
    origin = std::min(origin, static_cast<int64_t>(log.at[k]) - static_cast<int64_t>(k) * period);
  }
  std::vector<int64_t> late, gap;
  for (size_t k = 0; k < ticks; k++) {
    late.push_back(static_cast<int64_t>(log.at[k]) - origin - static_cast<int64_t>(k) * period);
    if (k > 0) gap.push_back(std::llabs(static_cast<int64_t>(log.at[k] - log.at[k - 1]) - period));
  }
  double span = (log.at[ticks - 1] - log.at[0]) / 1e6;
  std::printf("%zu ticks of %u ms, %d busy threads, timer %s, %.3f s (ideal %.3f s)\n", ticks,
              periodMs, load, log.policy.load() == SCHED_FIFO ? "SCHED_FIFO" : "normal policy", span,
              (ticks - 1) * period / 1e6);
  Report("lateness against deadline", late);
  Report("|gap - period|", gap);
  SemaphoreClose(log.done);
  return 0;
}
