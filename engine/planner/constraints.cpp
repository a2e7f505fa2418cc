#include "engine/planner/constraints.hpp"

#include <algorithm>
#include <cmath>

#include "engine/format.hpp"

namespace segue {
namespace {

Status validate_window(const TimeWindow& window, const std::string& label) {
  const std::string bounds = format_number(window.earliest) + "..=" + format_number(window.latest);
  if (!std::isfinite(window.earliest) || !std::isfinite(window.latest)) {
    return std::unexpected(EngineError::unsupported_configuration(label + " window must be finite, got " + bounds));
  }
  if (!(window.earliest <= window.latest)) {
    return std::unexpected(
        EngineError::unsupported_configuration(label + " window ends before it begins: " + bounds));
  }
  return {};
}

std::string describe_window(std::string_view track, const char* which, const TimeWindow& window) {
  return std::string(track) + " " + which + " in " + format_fixed(window.earliest, 2) +
         "..=" + format_fixed(window.latest, 2) + "s";
}

}  // namespace

Status RegionConstraint::validate(std::string_view track) const {
  if (start) {
    if (auto status = validate_window(*start, std::string(track) + " start"); !status) return status;
  }
  if (end) {
    if (auto status = validate_window(*end, std::string(track) + " end"); !status) return status;
  }
  return {};
}

std::optional<TimeWindow> RegionConstraint::start_range(double min_duration, double max_duration,
                                                        double ratio) const {
  if (end) {
    TimeWindow range{end->earliest - ratio * max_duration, end->latest - ratio * min_duration};
    if (start) {
      range.earliest = std::fmax(start->earliest, range.earliest);
      range.latest = std::fmin(start->latest, range.latest);
    }
    return range;
  }
  if (start) return *start;
  return std::nullopt;
}

std::pair<double, double> RegionConstraint::analysis_span(double min_duration, double max_duration,
                                                          double ratio, double default_start,
                                                          double default_end, double track_duration) const {
  if (const auto range = start_range(min_duration, max_duration, ratio)) {
    const double span_start = std::fmax(std::fmin(range->earliest, default_start), 0.0);
    const double span_end = std::fmin(std::fmax(range->latest + ratio * max_duration, default_end), track_duration);
    return {span_start, span_end};
  }
  return {std::fmax(default_start, 0.0), std::fmin(default_end, track_duration)};
}

void RegionConstraint::describe(std::string_view track, std::vector<std::string>& lines) const {
  if (start) lines.push_back(describe_window(track, "start", *start));
  if (end) lines.push_back(describe_window(track, "end", *end));
}

Status validate_beat_lengths(const std::optional<std::vector<std::uint32_t>>& beat_lengths) {
  if (beat_lengths && beat_lengths->empty()) {
    return std::unexpected(
        EngineError::unsupported_configuration("beat_lengths constraint is empty, which admits no transition"));
  }
  return {};
}

std::string describe_beat_lengths(const std::vector<std::uint32_t>& beat_lengths) {
  return "beat lengths " + format_list(beat_lengths);
}

}  // namespace segue
