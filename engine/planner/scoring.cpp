#include "engine/planner/scoring.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "engine/analysis/phrase.hpp"
#include "engine/numeric.hpp"
#include "engine/planner/strategy.hpp"

namespace segue {
namespace {

float spectral_score(const RegionFeatures& out, const RegionFeatures& in) {
  const float band_distance = (std::fabs(out.low_share - in.low_share) + std::fabs(out.mid_share - in.mid_share) +
                               std::fabs(out.high_share - in.high_share)) *
                              0.5f;
  // Brightness compared in octaves: one octave apart scores 0.5, two or more 0.
  // Below 1 Hz a centroid says nothing (silence), so it scores neutrally.
  float centroid = 0.5f;
  if (out.centroid_hz > 1.0f && in.centroid_hz > 1.0f) {
    centroid = 1.0f - std::fmin(1.0f, std::fabs(std::log2(out.centroid_hz / in.centroid_hz)) * 0.5f);
  }
  return ((1.0f - std::fmin(1.0f, band_distance)) + centroid) * 0.5f;
}

float length_score(std::uint32_t beats, std::uint32_t preferred_beats) {
  const float ratio = static_cast<float>(std::max<std::uint32_t>(beats, 1)) /
                      static_cast<float>(std::max<std::uint32_t>(preferred_beats, 1));
  return 1.0f - std::fmin(1.0f, std::fabs(std::log2(ratio)) * 0.5f);
}

double outgoing_end(const Candidate& c) {
  return c.outgoing_start + static_cast<double>(c.outgoing_ratio) * c.duration;
}
double incoming_end(const Candidate& c) {
  return c.incoming_start + static_cast<double>(c.incoming_ratio) * c.duration;
}

// The beat and phrase measures, which read only the grids.
void measure_grids(const Candidate& candidate, const ScoringInputs& inputs, CandidateMeasures& measures) {
  const double o = candidate.outgoing_start;
  const double i = candidate.incoming_start;
  const TrackAnalysis& out = inputs.outgoing_analysis;
  const TrackAnalysis& in = inputs.incoming_analysis;
  measures.beat = (beat_proximity(inputs.outgoing_grid, o) + beat_proximity(inputs.incoming_grid, i)) * 0.5f;
  // Phrase lengths are counted in the outgoing track's bars: it sets the
  // structure the listener is following when the overlap begins.
  measures.phrase = ((downbeat_alignment(inputs.outgoing_grid, out.bars_per_phrase, o) +
                      downbeat_alignment(inputs.incoming_grid, in.bars_per_phrase, i)) *
                     0.5f) *
                        0.7f +
                    phrase_length_bonus(candidate.beats, out.beats_per_bar, out.bars_per_phrase);
}

}  // namespace

CandidateMeasures measure_candidate(const Candidate& candidate, const ScoringInputs& inputs,
                                    const PlannerConfig& config) {
  const float sensitivity = config.analysis.onset_sensitivity;
  CandidateMeasures measures;
  measure_grids(candidate, inputs, measures);
  measures.outgoing =
      summarize(inputs.outgoing_analysis, candidate.outgoing_start, outgoing_end(candidate), sensitivity);
  measures.incoming =
      summarize(inputs.incoming_analysis, candidate.incoming_start, incoming_end(candidate), sensitivity);
  return measures;
}

float tempo_score(const Candidate& candidate, const PlannerConfig& config) {
  if (!candidate.tempo_matched) return 0.35f;
  const float dev = std::fmax(std::fabs(candidate.outgoing_ratio - 1.0f), std::fabs(candidate.incoming_ratio - 1.0f));
  const float pref = config.preferred_ratio_deviation;
  const float acc = config.acceptable_ratio_deviation;
  const float max = config.max_ratio_deviation;
  if (dev <= pref) return 1.0f;
  if (dev <= acc) {
    if (acc - pref <= kFloatEpsilon) return 0.6f;
    return 1.0f - 0.4f * clamp((dev - pref) / (acc - pref), 0.0f, 1.0f);
  }
  if (dev <= max) {
    if (max - acc <= kFloatEpsilon) return 0.2f;
    return 0.6f - 0.4f * clamp((dev - acc) / (max - acc), 0.0f, 1.0f);
  }
  return 0.0f;
}

ScoredCandidate score_measures(const Candidate& candidate, const CandidateMeasures& measures,
                               const PlannerConfig& config) {
  const RegionFeatures& out = measures.outgoing;
  const RegionFeatures& in = measures.incoming;
  CompatibilityScores s;
  s.beat = measures.beat;
  s.phrase = measures.phrase;
  s.tempo = tempo_score(candidate, config);
  s.spectral = spectral_score(out, in);
  s.loudness = 1.0f - std::fmin(1.0f, std::fabs(out.level_db - in.level_db) / 12.0f);
  // A rising outgoing level or a falling incoming level fights the crossfade.
  s.energy = (1.0f / (1.0f + std::fmax(out.level_slope, 0.0f) / 6.0f) +
              1.0f / (1.0f + std::fmax(-in.level_slope, 0.0f) / 6.0f)) *
             0.5f;
  s.density = 1.0f - clamp(out.onset_density * in.onset_density * 4.0f, 0.0f, 1.0f);
  s.bass = 1.0f - clamp(std::fmin(out.low_share, in.low_share) / 0.7f, 0.0f, 1.0f);
  s.length = length_score(candidate.beats, config.preferred_beats);

  const ScoreWeights& w = config.weights;
  const float weighted = s.beat * w.beat + s.phrase * w.phrase + s.tempo * w.tempo + s.spectral * w.spectral +
                         s.loudness * w.loudness + s.energy * w.energy + s.density * w.density + s.bass * w.bass +
                         s.length * w.length;
  const float weight_sum =
      w.beat + w.phrase + w.tempo + w.spectral + w.loudness + w.energy + w.density + w.bass + w.length;
  s.total = weighted / weight_sum;

  return ScoredCandidate{
      .scores = s,
      .candidate = candidate,
      .strategy = choose_strategy(candidate, s.spectral, out.low_share, in.low_share, config),
  };
}

ScoredCandidate score_candidate(const Candidate& candidate, const ScoringInputs& inputs, const PlannerConfig& config) {
  return score_measures(candidate, measure_candidate(candidate, inputs, config), config);
}

namespace {

// Memoises region summaries by stretch for the candidates of one call. It
// refers to the caller's inputs and configuration; one call, one thread.
class CandidateScorer {
 public:
  CandidateScorer(const ScoringInputs& inputs, const PlannerConfig& config) : inputs_(inputs), config_(config) {}

  ScoredCandidate score(const Candidate& candidate) {
    CandidateMeasures measures;
    measure_grids(candidate, inputs_, measures);
    measures.outgoing =
        summary(outgoing_, inputs_.outgoing_analysis, candidate.outgoing_start, outgoing_end(candidate));
    measures.incoming =
        summary(incoming_, inputs_.incoming_analysis, candidate.incoming_start, incoming_end(candidate));
    return score_measures(candidate, measures, config_);
  }

 private:
  using Stretch = std::pair<double, double>;  // start and end seconds

  const RegionFeatures& summary(std::map<Stretch, RegionFeatures>& cache, const TrackAnalysis& analysis,
                                double start, double end) {
    const float sensitivity = config_.analysis.onset_sensitivity;
    if (std::isnan(start) || std::isnan(end)) {
      uncached_ = summarize(analysis, start, end, sensitivity);
      return uncached_;
    }
    const auto [it, inserted] = cache.try_emplace(Stretch{start, end});
    if (inserted) it->second = summarize(analysis, start, end, sensitivity);
    return it->second;
  }

  const ScoringInputs& inputs_;
  const PlannerConfig& config_;
  std::map<Stretch, RegionFeatures> outgoing_;
  std::map<Stretch, RegionFeatures> incoming_;
  RegionFeatures uncached_;  // for bounds that cannot be ordered (NaN)
};

}  // namespace

std::vector<ScoredCandidate> score_candidates(std::span<const Candidate> candidates, const ScoringInputs& inputs,
                                              const PlannerConfig& config) {
  CandidateScorer scorer(inputs, config);
  std::vector<ScoredCandidate> scored;
  scored.reserve(candidates.size());
  for (const Candidate& candidate : candidates) scored.push_back(scorer.score(candidate));
  return scored;
}

std::size_t choose_best(std::span<const ScoredCandidate> scored) {
  std::size_t best = 0;
  float best_total = -3.4028235e38f;
  for (std::size_t k = 0; k < scored.size(); ++k) {
    if (scored[k].scores.total > best_total) {
      best_total = scored[k].scores.total;
      best = k;
    }
  }
  return best;
}

}  // namespace segue
