#include "engine/types/beat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "engine/format.hpp"

namespace segue {
namespace {

Status check_times(std::span<const double> times, const char* name) {
  double previous = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < times.size(); ++i) {
    const double t = times[i];
    // Range before order: a negative time reports itself, not its order.
    if (!std::isfinite(t) || t < 0.0) {
      return std::unexpected(EngineError::invalid_beat_analysis(std::string(name) + "[" + std::to_string(i) +
                                                                "] must be finite and non-negative, got " +
                                                                format_number(t)));
    }
    if (previous >= t) {
      return std::unexpected(EngineError::invalid_beat_analysis(
          std::string(name) + " must be strictly increasing, but [" + std::to_string(i) +
          "] = " + format_number(t) + " follows " + format_number(previous)));
    }
    previous = t;
  }
  return {};
}

// Copies the times within [start, end] (both included) when there are any.
std::vector<double> times_within(std::span<const double> times, double start, double end) {
  // Counted with the comparisons themselves, so a NaN bound counts nothing.
  const auto lo = std::partition_point(times.begin(), times.end(), [&](double t) { return t < start; });
  const auto hi = std::partition_point(times.begin(), times.end(), [&](double t) { return t <= end; });
  if (lo < hi) return {lo, hi};
  return {};
}

}  // namespace

Status BeatGrid::validate(float bpm, std::span<const double> beats, std::span<const double> downbeats) {
  if (!std::isfinite(bpm) || !(bpm > 0.0f)) {
    return std::unexpected(
        EngineError::invalid_beat_analysis("bpm must be finite and positive, got " + format_number(bpm)));
  }
  if (auto status = check_times(beats, "beats"); !status) return status;
  return check_times(downbeats, "downbeats");
}

Result<BeatGrid> BeatGrid::create(float bpm, std::vector<double> beats, std::vector<double> downbeats) {
  if (auto status = validate(bpm, beats, downbeats); !status) return std::unexpected(status.error());
  return BeatGrid(bpm, std::move(beats), std::move(downbeats));
}

std::vector<double> BeatGrid::anchors_between(double start, double end) const {
  if (!downbeats_.empty()) {
    if (auto anchors = times_within(downbeats_, start, end); !anchors.empty()) return anchors;
  }
  if (auto anchors = times_within(beats_, start, end); !anchors.empty()) return anchors;
  return {start};
}

}  // namespace segue
