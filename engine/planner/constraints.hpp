// Caller constraints: where on each track a transition may lie, and which
// overlap lengths in beats are admitted.
//
// For the outgoing track, `start` bounds where the overlap begins and `end`
// where the outgoing track has been consumed (start + ratio x duration); for
// the incoming track, `start` bounds where it enters and `end` where the
// overlap ends on it. Seconds on that track's own timeline, both bounds
// inclusive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/error.hpp"

namespace segue {

struct TimeWindow {
  double earliest = 0.0;
  double latest = 0.0;

  bool contains(double t) const { return t >= earliest && t <= latest; }
};

struct RegionConstraint {
  std::optional<TimeWindow> start;
  std::optional<TimeWindow> end;

  // Checks `start`, then `end`, labelled "{track} start" / "{track} end":
  // "{} window must be finite, got {}..={}" and
  // "{} window ends before it begins: {}..={}" (UnsupportedConfiguration).
  Status validate(std::string_view track) const;

  // Admissible start times implied by the windows; may come out empty
  // (earliest > latest), which the caller handles. Absent without windows.
  std::optional<TimeWindow> start_range(double min_duration, double max_duration, double ratio) const;

  // The (start, end) seconds to analyse: the default search area widened to
  // everything a constrained transition can touch, clamped to the track.
  std::pair<double, double> analysis_span(double min_duration, double max_duration, double ratio,
                                          double default_start, double default_end,
                                          double track_duration) const;

  // Appends "{track} start in {:.2}..={:.2}s" and/or "{track} end in ..." for
  // the windows present, start first.
  void describe(std::string_view track, std::vector<std::string>& lines) const;
};

// Fails only for a list that is present and empty:
// "beat_lengths constraint is empty, which admits no transition".
// Zeros are not rejected; they never match.
Status validate_beat_lengths(const std::optional<std::vector<std::uint32_t>>& beat_lengths);

// "beat lengths [4, 8]".
std::string describe_beat_lengths(const std::vector<std::uint32_t>& beat_lengths);

}  // namespace segue
