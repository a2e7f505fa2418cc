#include "engine/planner/plan.hpp"

#include <cassert>
#include <cmath>
#include <utility>

#include "engine/analysis/loudness.hpp"
#include "engine/numeric.hpp"
#include "engine/planner/scoring.hpp"
#include "engine/planner/search.hpp"
#include "engine/planner/tempo.hpp"

namespace segue {
namespace {

Automation gain_glide(float from, float to) {
  return Automation{{
      AutomationPoint{.position = 0.0f, .value = from, .shape = CurveShape::SmoothStep},
      AutomationPoint{.position = 1.0f, .value = to, .shape = CurveShape::SmoothStep},
  }};
}

FilterLane lane(FilterKind kind, Automation cutoff, const PlannerConfig& config) {
  return FilterLane{.cutoff = std::move(cutoff), .progress = std::nullopt, .q = config.filter_q, .gain_db = 0.0f,
                    .kind = kind};
}

// Turntable pitch: the transposition that a plain speed change would cause.
float follow_ratio_semitones(float ratio) { return ratio > 0.0f ? 12.0f * std::log2(ratio) : 0.0f; }

}  // namespace

LoudnessTrims loudness_trims(float outgoing_lufs, float incoming_lufs, const PlannerConfig& config) {
  LoudnessTrims trims;
  if (!config.loudness_matching) return trims;
  const float diff = outgoing_lufs - incoming_lufs;
  const float magnitude = std::fabs(diff);
  if (!std::isfinite(magnitude) || !(magnitude > config.loudness_tolerance_db)) return trims;
  const float correction = std::fmin(magnitude, config.max_loudness_correction_db);
  if (diff > 0.0f) {
    trims.outgoing_db = -correction;
  } else {
    trims.incoming_db = -correction;
  }
  return trims;
}

Result<TransitionPlan> assemble_plan(std::size_t chosen, std::vector<ScoredCandidate> scored,
                                     const PlanRequest& request, const PlannerConfig& config) {
  // plan_transition always chooses from a non-empty list; a direct caller
  // breaking that gets an error rather than an out-of-range read.
  assert(chosen < scored.size());
  if (chosen >= scored.size()) {
    return std::unexpected(EngineError::no_viable_transition("no scored candidate to plan from"));
  }
  const ScoredCandidate& best = scored[chosen];
  const Candidate& c = best.candidate;

  const Result<float> outgoing_lufs = measure_loudness(
      request.outgoing_audio, c.outgoing_start, static_cast<double>(c.outgoing_ratio) * c.duration);
  if (!outgoing_lufs) return std::unexpected(outgoing_lufs.error());
  const Result<float> incoming_lufs = measure_loudness(
      request.incoming_audio, c.incoming_start, static_cast<double>(c.incoming_ratio) * c.duration);
  if (!incoming_lufs) return std::unexpected(incoming_lufs.error());

  const LoudnessTrims trims = loudness_trims(*outgoing_lufs, *incoming_lufs, config);

  TransitionPlan plan;
  plan.outgoing_gain = gain_glide(1.0f, gain_from_db(trims.outgoing_db));
  plan.incoming_gain = gain_glide(gain_from_db(trims.incoming_db), 1.0f);
  plan.strategy = best.strategy;
  plan.outgoing_fade = plan.strategy == TransitionStrategy::FilteredBlend ? FadeShape::SmoothStep
                                                                           : FadeShape::EqualPower;
  plan.incoming_fade = FadeShape::EqualPower;

  switch (plan.strategy) {
    case TransitionStrategy::BassSwap:
      // The low end changes hands in the middle tenth of the overlap.
      plan.outgoing_filters.push_back(lane(
          FilterKind::HighPass,
          sweep(config.highpass_open_hz, config.bass_cutoff_hz, 0.45f, 0.55f, CurveShape::Exponential), config));
      plan.incoming_filters.push_back(lane(
          FilterKind::HighPass,
          sweep(config.bass_cutoff_hz, config.highpass_open_hz, 0.45f, 0.55f, CurveShape::Exponential), config));
      break;
    case TransitionStrategy::FilteredBlend:
      plan.outgoing_filters.push_back(lane(FilterKind::LowPass,
                                           sweep(config.lowpass_open_hz, config.blend_lowpass_end_hz, 0.3f, 1.0f,
                                                 CurveShape::SCurveExponential),
                                           config));
      plan.incoming_filters.push_back(lane(
          FilterKind::HighPass,
          sweep(config.bass_cutoff_hz, config.highpass_open_hz, 0.0f, 0.6f, CurveShape::Exponential), config));
      break;
    case TransitionStrategy::EqualPowerCrossfade:
    case TransitionStrategy::BeatmatchedCrossfade:
    case TransitionStrategy::ShortFade:
      break;
  }

  if (!config.preserve_pitch) {
    plan.outgoing_pitch_semitones = follow_ratio_semitones(c.outgoing_ratio);
    plan.incoming_pitch_semitones = follow_ratio_semitones(c.incoming_ratio);
  }

  plan.outgoing_start = c.outgoing_start;
  plan.incoming_start = c.incoming_start;
  plan.duration = c.duration;
  plan.channels = request.channels;
  plan.beats = c.beats;
  plan.sample_rate = request.sample_rate;
  plan.outgoing_bpm = request.outgoing_grid.bpm();
  plan.target_bpm = c.target_bpm;
  plan.outgoing_ratio = c.outgoing_ratio;
  plan.incoming_ratio = c.incoming_ratio;
  if (config.diagnostics) {
    plan.diagnostics = PlanDiagnostics{.candidates = std::move(scored), .selected = chosen};
  }
  return plan;
}

Result<TransitionPlan> plan_transition(const PlanRequest& request, const PlannerConfig& config) {
  const TempoMatch tempo = match_tempo(config, request.outgoing_grid.bpm(), request.incoming_grid.bpm());
  const SearchSpace space{
      .outgoing_duration = request.outgoing_audio.duration_seconds(),
      .incoming_duration = request.incoming_audio.duration_seconds(),
      .outgoing_grid = request.outgoing_grid,
      .incoming_grid = request.incoming_grid,
      .outgoing_region = request.outgoing_region,
      .incoming_region = request.incoming_region,
      .beat_lengths = request.beat_lengths,
  };
  SearchResult search = enumerate_candidates(space, tempo, config);
  if (search.candidates.empty()) return std::unexpected(no_viable_transition(space, search.rejected));

  const ScoringInputs inputs{
      .outgoing_grid = request.outgoing_grid,
      .incoming_grid = request.incoming_grid,
      .outgoing_analysis = request.outgoing_analysis,
      .incoming_analysis = request.incoming_analysis,
  };
  std::vector<ScoredCandidate> scored = score_candidates(search.candidates, inputs, config);
  const std::size_t chosen = choose_best(scored);
  return assemble_plan(chosen, std::move(scored), request, config);
}

}  // namespace segue
