// The monotonic clock and the periodic timer.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

using namespace platform;

namespace {

TEST(Clock, MillisecondsAndMicrosecondsAgree) {
  uint64_t us0 = MonotonicUs();
  uint32_t ms0 = MonotonicMs();
  SleepMs(30);
  uint64_t us = MonotonicUs() - us0;
  uint32_t ms = MonotonicMs() - ms0;
  EXPECT_GE(us, 30000u);
  EXPECT_NEAR(static_cast<double>(ms), us / 1000.0, 2.0);
}

struct TickLog {
  static constexpr int kMax = 2000;
  std::atomic<int> count{0};
  uint64_t at[kMax];      // MonotonicUs of each tick, written by the timer thread only
  int stallAtTick = -1;   // this tick sleeps stallMs, as a late wake-up would
  uint32_t stallMs = 0;
  int stopAtTick = -1;    // this tick stops the timer from within
  std::atomic<PeriodicTimer*> self{nullptr};
};

void RecordTick(void* raw) {
  auto* log = static_cast<TickLog*>(raw);
  int n = log->count.load(std::memory_order_relaxed);
  if (n < TickLog::kMax) log->at[n] = MonotonicUs();
  log->count.store(n + 1, std::memory_order_release);
  if (n + 1 == log->stallAtTick) SleepMs(log->stallMs);
  if (log->stopAtTick > 0 && n + 1 >= log->stopAtTick) {
    if (PeriodicTimer* self = log->self.exchange(nullptr)) PeriodicTimerStop(self);
  }
}

TEST(PeriodicTimer, CatchesUpMissedPeriodsInsteadOfDrifting) {
  // One tick takes 60 ms (30 periods). A timer that sleeps relative to its
  // last wake-up would end up 30 ticks behind the clock; this one fires the
  // missed ticks at once, never ahead of their deadlines.
  TickLog log;
  log.stallAtTick = 20;
  log.stallMs = 60;
  uint64_t start = MonotonicUs();
  PeriodicTimer* timer = PeriodicTimerStart(2, RecordTick, &log);
  ASSERT_NE(timer, nullptr);
  SleepMs(400);
  uint64_t before = MonotonicUs() - start;
  int ticks = log.count.load(std::memory_order_acquire);
  uint64_t after = MonotonicUs() - start;
  PeriodicTimerStop(timer);
  int stopped = log.count.load();

  EXPECT_LE(ticks, static_cast<int>(after / 2000) + 1);
  EXPECT_GE(ticks, static_cast<int>(before / 2000) - 8) << "the ticks drifted behind the clock";
  ASSERT_LE(stopped, TickLog::kMax);
  for (int k = 0; k < stopped; k++) {
    ASSERT_GE(log.at[k], start + 2000u * (k + 1)) << "tick " << k + 1 << " came before its time";
  }
  SleepMs(20);
  EXPECT_EQ(log.count.load(), stopped) << "a tick after the stop";
}

TEST(PeriodicTimer, StopsFromItsOwnCallback) {
  // Static: the timer thread ends on its own after the stop, unjoined.
  static TickLog log;
  log.stopAtTick = 5;
  PeriodicTimer* timer = PeriodicTimerStart(2, RecordTick, &log);
  ASSERT_NE(timer, nullptr);
  log.self.store(timer);
  SleepMs(100);
  int stopped = log.count.load();
  EXPECT_GE(stopped, 5);
  SleepMs(50);
  EXPECT_EQ(log.count.load(), stopped);
}

TEST(PeriodicTimer, RefusesAZeroPeriodOrNoCallback) {
  int dummy = 0;
  EXPECT_EQ(PeriodicTimerStart(0, RecordTick, &dummy), nullptr);
  EXPECT_EQ(PeriodicTimerStart(2, nullptr, &dummy), nullptr);
}

}  // namespace
