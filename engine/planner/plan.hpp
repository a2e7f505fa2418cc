// The transition plan: where each track is left or entered, how long the
// overlap lasts, at which tempo, with which strategy, gains, fades and
// filter lanes. `plan_transition` is the planner's one entry point; the
// assembly steps are exposed for callers that already hold a choice.
//
// Seconds are 64-bit on each track's own timeline except `duration`, which
// is output time; tempos, ratios, gains and levels are 32-bit. A ratio r
// plays a track r times as fast (see tempo.hpp). Everything allocated here
// is owned by the returned plan; the request's records are only read.
// Pure functions of their arguments; no state is kept between calls, so
// separate jobs plan in parallel.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/audio/buffer.hpp"
#include "engine/dsp/automation.hpp"
#include "engine/dsp/filters.hpp"
#include "engine/error.hpp"
#include "engine/planner/candidate.hpp"
#include "engine/planner/config.hpp"
#include "engine/planner/constraints.hpp"
#include "engine/planner/strategy.hpp"
#include "engine/types/analysis.hpp"
#include "engine/types/beat.hpp"

namespace segue {

struct PlanDiagnostics {
  std::vector<ScoredCandidate> candidates;  // every scored candidate, in enumeration order
  std::size_t selected = 0;                 // index of the chosen one
};

struct TransitionPlan {
  Automation outgoing_gain;                   // (0, 1.0) -> (1, g_out), SmoothStep
  Automation incoming_gain;                   // (0, g_in) -> (1, 1.0), SmoothStep
  FadeShape outgoing_fade = FadeShape::EqualPower;
  FadeShape incoming_fade = FadeShape::EqualPower;
  std::vector<FilterLane> outgoing_filters;   // empty or one lane
  std::vector<FilterLane> incoming_filters;   // empty or one lane
  std::optional<PlanDiagnostics> diagnostics; // present when the configuration asks
  double outgoing_start = 0.0;                // seconds on the outgoing track
  double incoming_start = 0.0;                // seconds on the incoming track
  double duration = 0.0;                      // seconds of output
  std::uint64_t channels = 0;                 // render channel count
  std::uint32_t beats = 0;
  std::uint32_t sample_rate = 0;              // render rate, Hz
  float outgoing_bpm = 0.0f;
  float target_bpm = 0.0f;
  float outgoing_ratio = 1.0f;
  float incoming_ratio = 1.0f;
  float outgoing_pitch_semitones = 0.0f;      // transposition applied while stretching
  float incoming_pitch_semitones = 0.0f;
  TransitionStrategy strategy = TransitionStrategy::EqualPowerCrossfade;
};

// Everything the planner reads; the job keeps ownership.
struct PlanRequest {
  const AudioBuffer& outgoing_audio;
  const AudioBuffer& incoming_audio;
  const BeatGrid& outgoing_grid;
  const BeatGrid& incoming_grid;
  const TrackAnalysis& outgoing_analysis;
  const TrackAnalysis& incoming_analysis;
  const RegionConstraint& outgoing_region;
  const RegionConstraint& incoming_region;
  const std::optional<std::vector<std::uint32_t>>& beat_lengths;
  std::uint64_t channels;      // render channel count
  std::uint32_t sample_rate;   // render rate, Hz
};

// Tempo match, candidate search, scoring and choice, loudness readings and
// plan assembly. Fails with NoViableTransition ("no transition fits: ...")
// when every combination is rejected, or with the loudness meter's Dsp error
// ("loudness meter: ..."); no plan is made then.
Result<TransitionPlan> plan_transition(const PlanRequest& request, const PlannerConfig& config);

// Loudness corrections in dB (0 or negative). With loudness matching on and
// the readings more than `loudness_tolerance_db` apart (and the difference
// finite), the louder track is turned down by the difference, at most
// `max_loudness_correction_db`; the quieter one is never raised.
struct LoudnessTrims {
  float outgoing_db = 0.0f;
  float incoming_db = 0.0f;
};
LoudnessTrims loudness_trims(float outgoing_lufs, float incoming_lufs, const PlannerConfig& config);


// The plan for `scored[chosen]` (`chosen` < scored.size()): measures the
// loudness of the stretch each track plays in the overlap, outgoing first
// (an outgoing failure is returned without measuring the incoming track),
// then sets the trims, gains, fades, filter lanes and pitch. `scored` moves
// into the diagnostics when the configuration asks for them and is dropped
// otherwise.
Result<TransitionPlan> assemble_plan(std::size_t chosen, std::vector<ScoredCandidate> scored,
                                     const PlanRequest& request, const PlannerConfig& config);

}  // namespace segue
