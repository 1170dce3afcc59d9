// Threads on pthreads. Priorities: time-critical asks for SCHED_FIFO, above
// normal for a lower nice value of the thread; both need privileges, and
// without them the thread runs on unchanged.
#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/posix/last_error.h"
#include "platform/posix/thread_priority.h"

namespace platform {

struct Thread {
  pthread_t handle{};
  ThreadFunction fn = nullptr;
  void* arg = nullptr;
  // The kernel's id of the thread, published by the thread itself; the nice
  // value is set per kernel thread.
  std::atomic<pid_t> tid{0};
};

namespace {

// Callers size stacks for the other platform, where a small request is only
// the committed part of a much larger reservation (1 KiB requests exist).
// Here the request is the whole stack, so it is raised to a floor that also
// leaves the sanitizers their room.
constexpr size_t kStackFloor = 256 * 1024;

void* Trampoline(void* raw) {
  Thread* self = static_cast<Thread*>(raw);
  ThreadFunction fn = self->fn;
  void* arg = self->arg;
  // After this store the handle may be released by a detach: not touched again.
  self->tid.store(gettid(), std::memory_order_release);
  self->tid.notify_all();
  fn(arg);
  return nullptr;
}

}  // namespace

namespace posix {

bool ApplyPriority(pthread_t handle, pid_t tid, int priority) {
  int policy = SCHED_OTHER;
  sched_param param{};
  int nice = 0;
  switch (priority) {
    case PRIORITY_NORMAL:
      break;
    case PRIORITY_ABOVE_NORMAL:
      nice = -5;
      break;
    case PRIORITY_TIME_CRITICAL:
      policy = SCHED_FIFO;
      param.sched_priority = kFifoPriorityThread;
      break;
    default:
      SetLastError(EINVAL);
      return false;
  }
  int err = pthread_setschedparam(handle, policy, &param);
  if (err != 0) {
    SetLastError(err);
    return false;
  }
  if (policy == SCHED_OTHER && setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0) {
    return FailWithErrno();
  }
  return true;
}

}  // namespace posix

Thread* ThreadStart(ThreadFunction fn, void* arg, size_t stackSize) {
  if (fn == nullptr) {
    posix::SetLastError(EINVAL);
    return nullptr;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackSize != 0) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = std::max({stackSize, static_cast<size_t>(PTHREAD_STACK_MIN), kStackFloor});
    size = (size + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, size);
  }
  Thread* thread = new Thread;
  thread->fn = fn;
  thread->arg = arg;
  int err = pthread_create(&thread->handle, &attr, Trampoline, thread);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    delete thread;
    posix::SetLastError(err);
    return nullptr;
  }
  thread->tid.wait(0, std::memory_order_acquire);
  return thread;
}

bool ThreadSetPriority(Thread* thread, int priority) {
  if (thread == nullptr) return posix::ApplyPriority(pthread_self(), gettid(), priority);
  return posix::ApplyPriority(thread->handle, thread->tid.load(std::memory_order_acquire),
                              priority);
}

bool ThreadJoin(Thread* thread) {
  if (thread == nullptr) {
    posix::SetLastError(EINVAL);
    return false;
  }
  int err = pthread_join(thread->handle, nullptr);
  delete thread;
  if (err != 0) {
    posix::SetLastError(err);
    return false;
  }
  return true;
}

void ThreadDetach(Thread* thread) {
  if (thread == nullptr) return;
  pthread_detach(thread->handle);
  delete thread;
}

}  // namespace platform
