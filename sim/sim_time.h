// Monotonic and wall clocks of the simulator, in nanoseconds.
#pragma once
#include <cstdint>
#include <time.h>

namespace sim {

inline int64_t MonoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

inline int64_t WallNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

constexpr int64_t kMs = 1000000LL;

}  // namespace sim
