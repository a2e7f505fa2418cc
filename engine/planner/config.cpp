#include "engine/planner/config.hpp"

#include <algorithm>

namespace segue {

PlannerConfig PlannerConfig::defaults(bool diagnostics) {
  PlannerConfig config;
  config.diagnostics = diagnostics;
  return config;
}

Status PlannerConfig::validate() const {
  // Written as positive conditions so that a NaN fails each check.
  if (!(min_duration > 0.0 && max_duration > min_duration)) {
    return std::unexpected(EngineError::unsupported_configuration("require 0 < min_duration < max_duration"));
  }
  if (allowed_beat_lengths.empty() ||
      std::ranges::find(allowed_beat_lengths, 0u) != allowed_beat_lengths.end()) {
    return std::unexpected(
        EngineError::unsupported_configuration("allowed_beat_lengths must be non-empty and contain no zeroes"));
  }
  if (outgoing_search_window <= 0.0 || incoming_search_window <= 0.0) {
    return std::unexpected(EngineError::unsupported_configuration("search windows must be positive"));
  }
  if (!(preferred_ratio_deviation > 0.0f && acceptable_ratio_deviation >= preferred_ratio_deviation &&
        max_ratio_deviation >= acceptable_ratio_deviation && max_ratio_deviation < 1.0f)) {
    return std::unexpected(EngineError::unsupported_configuration(
        "require 0 < preferred <= acceptable <= max ratio deviation < 1"));
  }
  return {};
}

}  // namespace segue
