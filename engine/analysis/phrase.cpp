#include "engine/analysis/phrase.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace segue {
namespace {

constexpr std::uint32_t kDefaultBeatsPerBar = 4;

// Half a beat in seconds, 64-bit.
double half_beat(const BeatGrid& grid) { return 0.5 * 60.0 / static_cast<double>(grid.bpm()); }

// 1 at distance 0, falling linearly to 0 at `half`; a NaN distance scores 0.
float linear_proximity(double distance, double half) {
  return static_cast<float>(std::fmax(1.0 - distance / half, 0.0));
}

}  // namespace

std::uint32_t estimate_beats_per_bar(const BeatGrid& grid) {
  const auto downbeats = grid.downbeats();
  if (downbeats.size() < 3) return kDefaultBeatsPerBar;

  std::vector<double> intervals(downbeats.size() - 1);
  for (std::size_t i = 0; i + 1 < downbeats.size(); ++i) intervals[i] = downbeats[i + 1] - downbeats[i];
  // The value at index n / 2 of the sorted list (the upper middle for an
  // even count), so the estimate is always one of the measured intervals.
  const auto middle = intervals.begin() + static_cast<std::ptrdiff_t>(intervals.size() / 2);
  std::nth_element(intervals.begin(), middle, intervals.end());
  const double median = *middle;

  const double period = grid.beat_period();
  if (!(period > 0.0)) return kDefaultBeatsPerBar;
  const double beats = std::round(median / period);
  // Compared as a float first: a wild median must not reach the conversion.
  if (beats >= 1.0 && beats <= 16.0) return static_cast<std::uint32_t>(beats);
  return kDefaultBeatsPerBar;
}

std::size_t nearest_index(std::span<const double> times, double t) {
  if (times.empty()) return 0;
  const std::size_t n = times.size();
  const auto k = static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), t) - times.begin());
  if (k == 0) return 0;
  if (k == n) return n - 1;
  const double before = t - times[k - 1];
  const double after = times[k] - t;
  return after < before ? k : k - 1;
}

float beat_proximity(const BeatGrid& grid, double t) {
  const double half = half_beat(grid);
  const auto beats = grid.beats();
  if (!std::isfinite(half) || !(half > 0.0) || beats.empty()) return 0.0f;
  const double distance = std::fabs(beats[nearest_index(beats, t)] - t);
  return linear_proximity(distance, half);
}

float downbeat_alignment(const BeatGrid& grid, std::uint32_t bars_per_phrase, double t) {
  const auto downbeats = grid.downbeats();
  if (downbeats.empty()) return 0.5f;
  const std::size_t index = nearest_index(downbeats, t);
  const double half = half_beat(grid);
  const float proximity = half > 0.0 ? linear_proximity(std::fabs(downbeats[index] - t), half) : 0.0f;

  // A phrase of 0 bars cannot place anything; it counts as 1, as the
  // configuration reads it.
  const std::size_t bars = std::max<std::uint32_t>(bars_per_phrase, 1);
  const std::size_t position = index % bars;
  float weight = 0.4f;
  if (position == 0) {
    weight = 1.0f;
  } else if (bars % 2 == 0 && position == bars / 2) {
    weight = 0.7f;
  }
  return proximity * weight;
}

float phrase_length_bonus(std::uint32_t beats, std::uint32_t beats_per_bar, std::uint32_t bars_per_phrase) {
  const std::uint32_t phrase = beats_per_bar * bars_per_phrase;
  return phrase != 0 && beats % phrase == 0 ? 0.3f : 0.12f;
}

}  // namespace segue
