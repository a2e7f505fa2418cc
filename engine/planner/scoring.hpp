// Scoring: nine compatibility scores in [0, 1] per candidate, their weighted
// total, the candidate's strategy, and the choice of the best candidate.
//
// All score arithmetic is 32-bit float with sums taken left to right, so a
// total is reproducible bit for bit. The tempo score depends only on the
// call's tempo match, so every candidate of a call shares it. Nothing here
// fails; only `score_candidates` allocates (its list and its cache of region
// summaries). Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/planner/candidate.hpp"
#include "engine/planner/config.hpp"
#include "engine/types/analysis.hpp"
#include "engine/types/beat.hpp"

namespace segue {

// What scoring reads of a request. The caller keeps ownership.
struct ScoringInputs {
  const BeatGrid& outgoing_grid;
  const BeatGrid& incoming_grid;
  const TrackAnalysis& outgoing_analysis;
  const TrackAnalysis& incoming_analysis;
};

// The measurements a candidate is scored from: how well each start sits on
// the grids, and the two stretches that would overlap (outgoing from its
// start for outgoing_ratio x duration, incoming likewise).
struct CandidateMeasures {
  float beat = 0.0f;    // mean beat proximity of the two starts
  float phrase = 0.0f;  // weighted mean downbeat alignment plus the phrase-length bonus
  RegionFeatures outgoing;
  RegionFeatures incoming;
};

CandidateMeasures measure_candidate(const Candidate& candidate, const ScoringInputs& inputs,
                                    const PlannerConfig& config);

// 0.35 for unmatched tempos; else 1.0 up to the preferred ratio deviation,
// falling linearly to 0.6 at the acceptable one and to 0.2 at the maximum,
// and 0 beyond it.
float tempo_score(const Candidate& candidate, const PlannerConfig& config);

// The nine scores, the total (weighted mean with `config.weights`) and the
// strategy (`choose_strategy`) from measurements already taken.
ScoredCandidate score_measures(const Candidate& candidate, const CandidateMeasures& measures,
                               const PlannerConfig& config);

// score_measures(candidate, measure_candidate(...)).
ScoredCandidate score_candidate(const Candidate& candidate, const ScoringInputs& inputs, const PlannerConfig& config);

// Every candidate of one call, in order, each scored exactly as
// score_candidate scores it. Each distinct stretch is summarised once: a
// stretch depends only on a track's start and the overlap length, so with 16
// starts per track and 4 lengths the 1,024 candidates of a call share 64
// stretches per track. Allocates the returned list and one cached summary
// per distinct stretch.
std::vector<ScoredCandidate> score_candidates(std::span<const Candidate> candidates, const ScoringInputs& inputs,
                                              const PlannerConfig& config);

// The index of the first candidate with the highest total: a total must be
// strictly greater than the best so far (starting below every finite
// float), so ties keep the earlier candidate and a NaN total is never
// chosen. 0 when no total beats the start, including for an empty list.
std::size_t choose_best(std::span<const ScoredCandidate> scored);

}  // namespace segue
