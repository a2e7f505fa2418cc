// Seeded numbers for tests: a linear congruential source, so a seed gives
// the same signal on every platform and compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace segue::fixtures {

class SeededRandom {
 public:
  explicit SeededRandom(std::uint32_t seed) : state_(seed) {}

  // In [0, 1), 24 bits.
  float unit() { return static_cast<float>(next_bits()) / 16777216.0f; }
  // In [-1, 1), 24 bits.
  float signed_unit() { return static_cast<float>(next_bits()) / 8388608.0f - 1.0f; }

 private:
  std::uint32_t next_bits() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }

  std::uint32_t state_;
};

// `frames` samples of white noise in [-1, 1).
inline std::vector<float> white_noise(std::size_t frames, std::uint32_t seed) {
  SeededRandom random(seed);
  std::vector<float> out(frames);
  for (float& v : out) v = random.signed_unit();
  return out;
}

}  // namespace segue::fixtures
