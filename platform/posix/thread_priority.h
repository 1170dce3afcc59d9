// Scheduling shared by the thread and timer code of the backend.
#pragma once
#include <pthread.h>
#include <sys/types.h>

namespace platform::posix {

// SCHED_FIFO levels: the periodic timer above the time-critical threads, so
// that the ticks those threads count on arrive while they are busy.
constexpr int kFifoPriorityThread = 10;
constexpr int kFifoPriorityTimer = 20;

// Sets one of the ThreadPriority levels on a running thread (kernel id `tid`).
bool ApplyPriority(pthread_t handle, pid_t tid, int priority);

}  // namespace platform::posix
