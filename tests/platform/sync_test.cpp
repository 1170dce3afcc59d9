// Semaphores, the re-entrant lock and threads.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>

#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

using namespace platform;

namespace {

// Takes units until a zero-timeout wait fails; the number taken.
int Drain(Semaphore* sem) {
  int n = 0;
  while (SemaphoreWait(sem, 0) == WAIT_SIGNALED) n++;
  return n;
}

TEST(Semaphore, RejectsImpossibleCounts) {
  struct Case { int initial, maximum; } cases[] = {{0, 0}, {-1, 1}, {2, 1}, {0, -3}};
  for (const Case& c : cases) {
    EXPECT_EQ(SemaphoreCreate(c.initial, c.maximum), nullptr) << c.initial << "/" << c.maximum;
  }
}

TEST(Semaphore, ReleaseBeyondMaximumFailsAndAddsNothing) {
  struct Case {
    int initial, maximum, first, second;
    bool secondOk;
    int held;
  } cases[] = {
      {0, 1, 1, 1, false, 1},    // a second signal of a binary semaphore is lost, not stored
      {20, 20, 1, 1, false, 20}, // full from the start: even the first release fails
      {0, 5, 3, 3, false, 3},    // 3 + 3 > 5: the second release adds none of its 3
      {0, 5, 3, 2, true, 5},     // exactly to the maximum is allowed
  };
  for (const Case& c : cases) {
    Semaphore* sem = SemaphoreCreate(c.initial, c.maximum);
    ASSERT_NE(sem, nullptr);
    bool firstOk = SemaphoreRelease(sem, c.first);
    EXPECT_EQ(firstOk, c.initial + c.first <= c.maximum);
    EXPECT_EQ(SemaphoreRelease(sem, c.second), c.secondOk);
    if (!c.secondOk) {
      EXPECT_EQ(LastError(), EOVERFLOW);
    }
    EXPECT_EQ(Drain(sem), c.held) << c.initial << "/" << c.maximum;
    SemaphoreClose(sem);
  }
  Semaphore* sem = SemaphoreCreate(0, 3);
  EXPECT_FALSE(SemaphoreRelease(sem, 0));
  EXPECT_FALSE(SemaphoreRelease(sem, -1));
  EXPECT_EQ(Drain(sem), 0);
  SemaphoreClose(sem);
}

TEST(Semaphore, TimedWaitTimesOutAfterItsTime) {
  Semaphore* sem = SemaphoreCreate(0, 1);
  uint32_t t0 = MonotonicMs();
  EXPECT_EQ(SemaphoreWait(sem, 0), WAIT_TIMEOUT);
  EXPECT_LT(MonotonicMs() - t0, 20u);
  t0 = MonotonicMs();
  EXPECT_EQ(SemaphoreWait(sem, 60), WAIT_TIMEOUT);
  uint32_t waited = MonotonicMs() - t0;
  EXPECT_GE(waited, 59u);
  EXPECT_LT(waited, 500u);
  EXPECT_EQ(SemaphoreWait(nullptr, 10), WAIT_FAILED);
  SemaphoreClose(sem);
}

struct DelayedRelease {
  Semaphore* sem;
  uint32_t delayMs;
};

void ReleaseLater(void* raw) {
  auto* r = static_cast<DelayedRelease*>(raw);
  SleepMs(r->delayMs);
  SemaphoreRelease(r->sem);
}

TEST(Semaphore, WaitEndsWhenAnotherThreadReleases) {
  for (uint32_t timeout : {kInfinite, 5000u}) {
    Semaphore* sem = SemaphoreCreate(0, 1);
    DelayedRelease r{sem, 40};
    uint32_t t0 = MonotonicMs();
    Thread* t = ThreadStart(ReleaseLater, &r);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(SemaphoreWait(sem, timeout), WAIT_SIGNALED);
    uint32_t waited = MonotonicMs() - t0;
    EXPECT_GE(waited, 39u);
    EXPECT_LT(waited, 2000u);
    EXPECT_TRUE(ThreadJoin(t));
    SemaphoreClose(sem);
  }
}

TEST(Semaphore, SameNameGivesTheSameSemaphoreUntilTheLastClose) {
  Semaphore* a = SemaphoreCreate(0, 1, "FLESem");
  ASSERT_NE(a, nullptr);
  Semaphore* b = SemaphoreCreate(1, 1, "FLESem");  // counts of the first create stand
  EXPECT_EQ(b, a);
  EXPECT_EQ(LastError(), EEXIST);
  Semaphore* other = SemaphoreCreate(0, 1, "ResSem");
  EXPECT_NE(other, a);
  Semaphore* unnamed = SemaphoreCreate(0, 1);
  EXPECT_NE(unnamed, a);

  EXPECT_EQ(SemaphoreWait(b, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SemaphoreRelease(a));
  EXPECT_EQ(SemaphoreWait(other, 0), WAIT_TIMEOUT);
  EXPECT_EQ(SemaphoreWait(b, 0), WAIT_SIGNALED);

  SemaphoreClose(a);  // b still holds it open
  EXPECT_TRUE(SemaphoreRelease(b));
  Semaphore* c = SemaphoreCreate(0, 1, "FLESem");
  EXPECT_EQ(c, b);
  EXPECT_EQ(SemaphoreWait(c, 0), WAIT_SIGNALED);
  SemaphoreClose(b);
  SemaphoreClose(c);

  // All closed: the name starts afresh with the new counts.
  Semaphore* fresh = SemaphoreCreate(2, 2, "FLESem");
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(Drain(fresh), 2);
  SemaphoreClose(fresh);
  SemaphoreClose(other);
  SemaphoreClose(unnamed);
}

struct LockProbe {
  RecursiveLock* lock;
  std::atomic<bool> taken{false};
};

void TakeAndMark(void* raw) {
  auto* p = static_cast<LockProbe*>(raw);
  LockTake(p->lock);
  p->taken.store(true);
  LockRelease(p->lock);
}

TEST(RecursiveLock, OwnerTakesAgainOthersWaitForTheLastRelease) {
  LockProbe probe;
  probe.lock = LockCreate();
  LockTake(probe.lock);
  LockTake(probe.lock);  // would deadlock if not re-entrant
  Thread* t = ThreadStart(TakeAndMark, &probe);
  SleepMs(30);
  EXPECT_FALSE(probe.taken.load());
  LockRelease(probe.lock);
  SleepMs(30);
  EXPECT_FALSE(probe.taken.load()) << "one release of two must keep the lock";
  LockRelease(probe.lock);
  EXPECT_TRUE(ThreadJoin(t));
  EXPECT_TRUE(probe.taken.load());
  LockDestroy(probe.lock);
}

TEST(Sleep, SleepsAtLeastItsTime) {
  uint64_t t0 = MonotonicUs();
  SleepMs(25);
  uint64_t slept = MonotonicUs() - t0;
  EXPECT_GE(slept, 25000u);
  EXPECT_LT(slept, 500000u);
  uint32_t m0 = MonotonicMs();
  SleepMs(0);
  EXPECT_LT(MonotonicMs() - m0, 20u);
}

struct StackUser {
  std::atomic<int> sum{0};
  Semaphore* done = nullptr;
};

void UseDeepStack(void* raw) {
  auto* u = static_cast<StackUser*>(raw);
  volatile char block[96 * 1024];
  std::memset(const_cast<char*>(block), 1, sizeof block);
  int s = 0;
  for (size_t i = 0; i < sizeof block; i += 4096) s += block[i];
  u->sum.store(s);
  if (u->done) SemaphoreRelease(u->done);
}

TEST(Thread, SmallStackRequestStillGivesAUsableStack) {
  // The link threads ask for 1 KiB; the thread must not overflow on a frame
  // of ordinary size.
  StackUser u;
  Thread* t = ThreadStart(UseDeepStack, &u, 1024);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(ThreadJoin(t));
  EXPECT_EQ(u.sum.load(), 24);
  EXPECT_EQ(ThreadStart(nullptr, nullptr), nullptr);
}

TEST(Thread, DetachedThreadRunsOn) {
  StackUser u;
  u.done = SemaphoreCreate(0, 1);
  Thread* t = ThreadStart(UseDeepStack, &u);
  ASSERT_NE(t, nullptr);
  ThreadDetach(t);
  EXPECT_EQ(SemaphoreWait(u.done, 5000), WAIT_SIGNALED);
  EXPECT_EQ(u.sum.load(), 24);
  SemaphoreClose(u.done);
}

struct PriorityProbe {
  Semaphore* go;
  Semaphore* checked;
  std::atomic<int> policy{-1};
};

void ReportPolicyWhenAsked(void* raw) {
  auto* p = static_cast<PriorityProbe*>(raw);
  SemaphoreWait(p->go, kInfinite);
  int policy;
  sched_param param;
  pthread_getschedparam(pthread_self(), &policy, &param);
  p->policy.store(policy);
  SemaphoreRelease(p->checked);
}

TEST(Thread, TimeCriticalIsRealTimeWherePermittedAndCanBeUndone) {
  PriorityProbe p;
  p.go = SemaphoreCreate(0, 1);
  p.checked = SemaphoreCreate(0, 1);
  Thread* t = ThreadStart(ReportPolicyWhenAsked, &p);
  ASSERT_NE(t, nullptr);
  bool raised = ThreadSetPriority(t, PRIORITY_TIME_CRITICAL);
  SemaphoreRelease(p.go);
  ASSERT_EQ(SemaphoreWait(p.checked, 5000), WAIT_SIGNALED);
  // Without the privilege the call says so and the thread runs on as it was.
  EXPECT_EQ(p.policy.load(), raised ? SCHED_FIFO : SCHED_OTHER);
  EXPECT_TRUE(ThreadJoin(t));
  EXPECT_FALSE(ThreadSetPriority(nullptr, 7));

  if (raised) {
    ASSERT_TRUE(ThreadSetPriority(nullptr, PRIORITY_TIME_CRITICAL));
    int policy;
    sched_param param;
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_EQ(policy, SCHED_FIFO);
    EXPECT_TRUE(ThreadSetPriority(nullptr, PRIORITY_NORMAL));
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_EQ(policy, SCHED_OTHER);
  }
  SemaphoreClose(p.go);
  SemaphoreClose(p.checked);
}

}  // namespace
