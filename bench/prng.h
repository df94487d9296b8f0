#ifndef LODEMIG_BENCH_PRNG_H_
#define LODEMIG_BENCH_PRNG_H_

#include <cmath>
#include <cstdint>

namespace lodemig::bench {

// A small seeded pseudo-random generator (splitmix64). The benchmark stores
// must be the same bytes on every machine and every library version, which the
// standard distributions do not promise, so every draw the generator makes goes
// through this class.
class Prng {
 public:
  explicit Prng(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  // A number in [0, bound); bound must be above 0.
  uint32_t below(uint32_t bound) {
    return static_cast<uint32_t>(((next() >> 32) * static_cast<uint64_t>(bound)) >> 32);
  }

  // A number in [0, 1) with 53 random bits.
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

  // A standard normal draw (Box-Muller; the second value is dropped to keep
  // the sequence simple to reason about).
  double normal() {
    double u1 = unit();
    if (u1 < 1e-300) {
      u1 = 1e-300;
    }
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * unit());
  }

 private:
  uint64_t state_;
};

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_PRNG_H_
