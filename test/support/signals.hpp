// Test signals and the measures tests read them by.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace segue::fixtures {

// A sine of `hz` at `rate`, its phase computed in 64-bit per frame.
inline std::vector<float> sine(std::size_t frames, double hz, std::uint32_t rate, float amplitude) {
  std::vector<float> out(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    out[f] = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(f) / rate));
  }
  return out;
}

// Index of the sample of largest magnitude (the first, on a tie).
inline std::size_t peak_index(std::span<const float> samples) {
  const auto peak = std::max_element(samples.begin(), samples.end(),
                                     [](float a, float b) { return std::fabs(a) < std::fabs(b); });
  return static_cast<std::size_t>(peak - samples.begin());
}

// Root mean square, summed in 64-bit.
inline double rms(std::span<const float> samples) {
  double sum = 0.0;
  for (float s : samples) sum += double(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace segue::fixtures
