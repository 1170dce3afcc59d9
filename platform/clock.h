// A millisecond monotonic clock and periodic timers with absolute deadlines.
#pragma once
#include <cstdint>

namespace platform {

uint32_t MonotonicMs();   // wraps after ~49 days, like the system tick count
uint64_t MonotonicUs();

using TimerCallback = void (*)(void* arg);

struct PeriodicTimer;  // opaque

// Calls `tick(arg)` every periodMs on a timer thread of its own, at absolute
// deadlines: a late wake-up runs the missed ticks at once instead of drifting
// (after a stall of over a second, such as a suspended machine, the schedule
// starts afresh instead). Runs at real-time priority where permitted. Null on
// failure.
PeriodicTimer* PeriodicTimerStart(uint32_t periodMs, TimerCallback tick, void* arg);
// Stops the timer and waits until its thread has left the callback. From
// within the callback it stops the timer after that callback returns.
void PeriodicTimerStop(PeriodicTimer* timer);

}  // namespace platform
