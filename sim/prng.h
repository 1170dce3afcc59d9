// Deterministic pseudo-random stream for fault injection: the same
// --rng-start value gives the same sequence of drops and corruptions.
#pragma once
#include <cstdint>

namespace sim {

struct Prng {
  uint64_t state = 1;
};

inline void PrngStart(Prng* p, uint64_t start) { p->state = start; }

// splitmix64 step
inline uint64_t PrngNext(Prng* p) {
  uint64_t z = (p->state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// True with probability `rate` (0..1). A rate of 0 never draws, so adding a
// fault to one device does not shift another device's sequence.
inline bool PrngChance(Prng* p, double rate) {
  if (rate <= 0.0) return false;
  if (rate >= 1.0) return true;
  double u = static_cast<double>(PrngNext(p) >> 11) * (1.0 / 9007199254740992.0);
  return u < rate;
}

}  // namespace sim
