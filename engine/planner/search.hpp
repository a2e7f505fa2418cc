// Candidate search: a few start times on each track times every allowed
// overlap length in beats, each combination either rejected by a hard rule
// or kept as a candidate.
//
// Seconds are 64-bit on each track's own timeline; a candidate's duration is
// output time, and a track with tempo ratio r consumes r x duration of its
// own audio. Nothing here fails: an empty candidate list is the caller's
// NoViableTransition, built with `no_viable_transition`. Everything is a
// pure function of its arguments; the returned lists are the only
// allocations; safe to call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/error.hpp"
#include "engine/planner/candidate.hpp"
#include "engine/planner/config.hpp"
#include "engine/planner/constraints.hpp"
#include "engine/planner/tempo.hpp"
#include "engine/types/beat.hpp"

namespace segue {

// What the search reads of a request. The caller keeps ownership.
struct SearchSpace {
  double outgoing_duration;  // frame count / sample rate
  double incoming_duration;
  const BeatGrid& outgoing_grid;
  const BeatGrid& incoming_grid;
  const RegionConstraint& outgoing_region;
  const RegionConstraint& incoming_region;
  const std::optional<std::vector<std::uint32_t>>& beat_lengths;  // absent: every allowed length
};

struct SearchResult {
  std::vector<Candidate> candidates;  // enumeration order, at most max_candidates
  std::uint64_t rejected = 0;         // combinations that broke a rule, plus any cut by the cap
};

// floor(sqrt(max_candidates / |allowed|)) with an integer quotient, at least
// 1 and at most max_starts_per_track: 16 with the defaults.
std::uint64_t starts_per_track(const PlannerConfig& config);

// The latest `starts_per_track` anchors (downbeats, else beats, else the
// range's start) between max(duration - search window, 0), or the
// constraint's start range, and duration - min_duration - tail margin, in
// increasing order. Empty when that range is empty.
std::vector<double> outgoing_starts(const SearchSpace& space, const TempoMatch& tempo, const PlannerConfig& config);

// The earliest `starts_per_track` anchors between the search offset (at
// least 0) and offset + search window, or within the constraint's start
// range, the end lowered to the track's duration. Empty when that range is
// empty.
std::vector<double> incoming_starts(const SearchSpace& space, const TempoMatch& tempo, const PlannerConfig& config);

// Every outgoing start x every incoming start x every allowed beat count (in
// that nesting, each in increasing or configured order). A combination is
// rejected at the first of these it breaks: not in the request's
// beat_lengths; shorter than min_duration (or NaN); longer than
// max_duration; the outgoing track, plus its tail margin, runs out; the
// incoming track runs out; outside the outgoing start window, the outgoing
// end window, the incoming start window, the incoming end window. A
// negative start rejects all its combinations at once. A target tempo that
// is not > 0 enumerates nothing. Candidates beyond max_candidates are cut
// and counted as rejected.
SearchResult enumerate_candidates(const SearchSpace& space, const TempoMatch& tempo, const PlannerConfig& config);

// NoViableTransition: "no transition fits: {rejected} combinations were
// rejected for a {:.1}s outgoing track and a {:.1}s incoming track, with
// {constraints}", the constraints described outgoing, incoming, beat lengths,
// joined by ", ", or "unconstrained".
EngineError no_viable_transition(const SearchSpace& space, std::uint64_t rejected);

}  // namespace segue
