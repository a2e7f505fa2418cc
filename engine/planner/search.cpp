#include "engine/planner/search.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/format.hpp"
#include "engine/numeric.hpp"

namespace segue {
namespace {

// Exact floor(sqrt(value)); the double estimate can be one off for large values.
std::uint64_t integer_sqrt(std::uint64_t value) {
  std::uint64_t root = saturating_cast<std::uint64_t>(std::sqrt(static_cast<double>(value)));
  while (root > 0 && (root > 0xFFFFFFFFull || root * root > value)) --root;
  while (root < 0xFFFFFFFFull && (root + 1) * (root + 1) <= value) ++root;
  return root;
}

bool outside(const std::optional<TimeWindow>& window, double t) { return window && !window->contains(t); }

// `from > to` is the empty range; written so that a NaN bound is empty too.
bool empty_range(double from, double to) { return !(from <= to); }

}  // namespace

std::uint64_t starts_per_track(const PlannerConfig& config) {
  const std::uint64_t lengths = std::max<std::uint64_t>(config.allowed_beat_lengths.size(), 1);
  const std::uint64_t n = std::max<std::uint64_t>(integer_sqrt(config.max_candidates / lengths), 1);
  return std::min(n, config.max_starts_per_track);
}

std::vector<double> outgoing_starts(const SearchSpace& space, const TempoMatch& tempo, const PlannerConfig& config) {
  const double d_out = space.outgoing_duration;
  const double last = d_out - config.min_duration - config.outgoing_tail_margin;
  double from = std::fmax(d_out - config.outgoing_search_window, 0.0);
  double to = last;
  // A constraint replaces the search window: the caller asked for that area.
  if (const auto range = space.outgoing_region.start_range(config.min_duration, config.max_duration,
                                                           static_cast<double>(tempo.outgoing_ratio))) {
    from = std::fmax(range->earliest, 0.0);
    to = std::fmin(range->latest, last);
  }
  if (empty_range(from, to)) return {};
  std::vector<double> anchors = space.outgoing_grid.anchors_between(from, to);
  // The latest starts leave the most of the outgoing track playing alone.
  const std::uint64_t n = starts_per_track(config);
  if (anchors.size() > n) anchors.erase(anchors.begin(), anchors.end() - static_cast<std::ptrdiff_t>(n));
  return anchors;
}

std::vector<double> incoming_starts(const SearchSpace& space, const TempoMatch& tempo, const PlannerConfig& config) {
  const double offset = std::fmax(config.incoming_search_offset, 0.0);
  double from = offset;
  double to = offset + config.incoming_search_window;
  if (const auto range = space.incoming_region.start_range(config.min_duration, config.max_duration,
                                                           static_cast<double>(tempo.incoming_ratio))) {
    from = std::fmax(range->earliest, offset);
    to = range->latest;
  }
  to = std::fmin(to, space.incoming_duration);
  if (empty_range(from, to)) return {};
  std::vector<double> anchors = space.incoming_grid.anchors_between(from, to);
  const std::uint64_t n = starts_per_track(config);
  if (anchors.size() > n) anchors.resize(n);
  return anchors;
}

SearchResult enumerate_candidates(const SearchSpace& space, const TempoMatch& tempo, const PlannerConfig& config) {
  SearchResult result;
  if (!(tempo.target_bpm > 0.0f)) return result;
  const std::vector<double> outgoing = outgoing_starts(space, tempo, config);
  const std::vector<double> incoming = incoming_starts(space, tempo, config);
  if (outgoing.empty() || incoming.empty()) return result;

  const std::vector<std::uint32_t>& allowed = config.allowed_beat_lengths;
  const auto& requested = space.beat_lengths;
  const double r_out = static_cast<double>(tempo.outgoing_ratio);
  const double r_in = static_cast<double>(tempo.incoming_ratio);
  const double target = static_cast<double>(tempo.target_bpm);
  const RegionConstraint& out_region = space.outgoing_region;
  const RegionConstraint& in_region = space.incoming_region;

  for (const double o : outgoing) {
    if (o < 0.0) {
      result.rejected += incoming.size() * allowed.size();
      continue;
    }
    for (const double i : incoming) {
      if (i < 0.0) {
        result.rejected += allowed.size();
        continue;
      }
      for (const std::uint32_t b : allowed) {
        const double duration = static_cast<double>(b) * 60.0 / target;
        const double end_out = o + r_out * duration;
        const double end_in = i + r_in * duration;
        const bool rejected =
            (requested && std::find(requested->begin(), requested->end(), b) == requested->end()) ||
            !(duration >= config.min_duration) || duration > config.max_duration ||
            end_out + config.outgoing_tail_margin > space.outgoing_duration || end_in > space.incoming_duration ||
            outside(out_region.start, o) || outside(out_region.end, end_out) || outside(in_region.start, i) ||
            outside(in_region.end, end_in);
        if (rejected) {
          ++result.rejected;
          continue;
        }
        result.candidates.push_back(Candidate{
            .outgoing_start = o,
            .incoming_start = i,
            .duration = duration,
            .beats = b,
            .target_bpm = tempo.target_bpm,
            .outgoing_ratio = tempo.outgoing_ratio,
            .incoming_ratio = tempo.incoming_ratio,
            .tempo_matched = tempo.tempo_matched,
        });
      }
    }
  }

  if (result.candidates.size() > config.max_candidates) {
    result.rejected += result.candidates.size() - config.max_candidates;
    result.candidates.resize(config.max_candidates);
  }
  return result;
}

EngineError no_viable_transition(const SearchSpace& space, std::uint64_t rejected) {
  std::vector<std::string> lines;
  space.outgoing_region.describe("outgoing", lines);
  space.incoming_region.describe("incoming", lines);
  if (space.beat_lengths) lines.push_back(describe_beat_lengths(*space.beat_lengths));
  std::string constraints;
  for (const std::string& line : lines) {
    if (!constraints.empty()) constraints += ", ";
    constraints += line;
  }
  if (constraints.empty()) constraints = "unconstrained";
  return EngineError::no_viable_transition(
      "no transition fits: " + std::to_string(rejected) + " combinations were rejected for a " +
      format_fixed(space.outgoing_duration, 1) + "s outgoing track and a " + format_fixed(space.incoming_duration, 1) +
      "s incoming track, with " + constraints);
}

}  // namespace segue
