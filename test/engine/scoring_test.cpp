#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "engine/planner/scoring.hpp"
#include "engine/planner/search.hpp"
#include "engine/planner/tempo.hpp"

#include "test/support/grids.hpp"
#include "test/support/random.hpp"

namespace segue {
namespace {

using fixtures::regular_grid;

Candidate matched_candidate(const PlannerConfig& config, float outgoing_bpm, float incoming_bpm,
                            std::uint32_t beats = 16) {
  const TempoMatch tempo = match_tempo(config, outgoing_bpm, incoming_bpm);
  return Candidate{.outgoing_start = 10.0,
                   .incoming_start = 0.0,
                   .duration = beats * 60.0 / tempo.target_bpm,
                   .beats = beats,
                   .target_bpm = tempo.target_bpm,
                   .outgoing_ratio = tempo.outgoing_ratio,
                   .incoming_ratio = tempo.incoming_ratio,
                   .tempo_matched = tempo.tempo_matched};
}

TEST(Scoring, TempoScoreFollowsTheRatioDeviation) {
  const PlannerConfig config = PlannerConfig::defaults(false);
  const struct {
    float outgoing_bpm, incoming_bpm, expected;
  } cases[] = {
      {124.0f, 126.0f, 1.0f},        // deviation 0.016
      {120.0f, 130.0f, 0.5666667f},  // 0.0833: a twelfth of the way down the second ramp
      {120.0f, 127.2f, 0.8f},        // 0.06: halfway down the first ramp
      {128.0f, 64.0f, 1.0f},         // folded to 128
      {128.0f, 90.0f, 0.35f},        // 180 is 41 % off: unmatched
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(tempo_score(matched_candidate(config, c.outgoing_bpm, c.incoming_bpm), config), c.expected, 1e-5f)
        << c.outgoing_bpm << " / " << c.incoming_bpm;
  }
  // Beyond the largest deviation (only a hand-made candidate gets there).
  Candidate far = matched_candidate(config, 120.0f, 120.0f);
  far.outgoing_ratio = 1.2f;
  EXPECT_EQ(tempo_score(far, config), 0.0f);
  far.tempo_matched = false;
  EXPECT_EQ(tempo_score(far, config), 0.35f);
}

// Two identical, quiet-bass stretches: every region score is 1.
CandidateMeasures perfect_measures() {
  CandidateMeasures m;
  m.beat = 1.0f;
  m.phrase = 1.0f;
  m.outgoing = RegionFeatures{.level_db = -10.0f,
                              .low_share = 0.0f,
                              .mid_share = 0.5f,
                              .high_share = 0.5f,
                              .centroid_hz = 1000.0f,
                              .onset_density = 0.0f,
                              .level_slope = 0.0f};
  m.incoming = m.outgoing;
  return m;
}

TEST(Scoring, RegionScores) {
  using Change = std::function<void(Candidate&, CandidateMeasures&)>;
  const struct {
    const char* name;
    Change change;
    float CompatibilityScores::*score;
    float expected;
  } cases[] = {
      {"identical spectra", [](Candidate&, CandidateMeasures&) {}, &CompatibilityScores::spectral, 1.0f},
      {"centroids an octave apart", [](Candidate&, CandidateMeasures& m) { m.incoming.centroid_hz = 2000.0f; },
       &CompatibilityScores::spectral, 0.75f},
      {"centroids three octaves apart", [](Candidate&, CandidateMeasures& m) { m.incoming.centroid_hz = 125.0f; },
       &CompatibilityScores::spectral, 0.5f},
      {"no centroid and shares 0.4 apart",
       [](Candidate&, CandidateMeasures& m) {
         m.outgoing.centroid_hz = 1.0f;
         m.outgoing.low_share = 0.4f;
         m.outgoing.mid_share = 0.3f;
         m.outgoing.high_share = 0.3f;
       },
       &CompatibilityScores::spectral, 0.55f},
      {"disjoint bands", [](Candidate&, CandidateMeasures& m) {
         m.outgoing.low_share = 1.0f, m.outgoing.mid_share = 0.0f, m.outgoing.high_share = 0.0f;
       },
       &CompatibilityScores::spectral, 0.5f},
      {"levels 6 dB apart", [](Candidate&, CandidateMeasures& m) { m.incoming.level_db = -16.0f; },
       &CompatibilityScores::loudness, 0.5f},
      {"levels 20 dB apart", [](Candidate&, CandidateMeasures& m) { m.outgoing.level_db = 10.0f; },
       &CompatibilityScores::loudness, 0.0f},
      {"outgoing rising 6 dB/s", [](Candidate&, CandidateMeasures& m) { m.outgoing.level_slope = 6.0f; },
       &CompatibilityScores::energy, 0.75f},
      {"incoming falling 6 dB/s", [](Candidate&, CandidateMeasures& m) { m.incoming.level_slope = -6.0f; },
       &CompatibilityScores::energy, 0.75f},
      {"outgoing falling, incoming rising cost nothing",
       [](Candidate&, CandidateMeasures& m) {
         m.outgoing.level_slope = -6.0f;
         m.incoming.level_slope = 6.0f;
       },
       &CompatibilityScores::energy, 1.0f},
      {"half-busy against busy", [](Candidate&, CandidateMeasures& m) {
         m.outgoing.onset_density = 0.25f, m.incoming.onset_density = 0.5f;
       },
       &CompatibilityScores::density, 0.5f},
      {"two busy stretches", [](Candidate&, CandidateMeasures& m) {
         m.outgoing.onset_density = 0.5f, m.incoming.onset_density = 0.6f;
       },
       &CompatibilityScores::density, 0.0f},
      {"the lighter bass decides", [](Candidate&, CandidateMeasures& m) {
         m.outgoing.low_share = 0.35f, m.incoming.low_share = 0.9f;
       },
       &CompatibilityScores::bass, 0.5f},
      {"two bass-heavy stretches", [](Candidate&, CandidateMeasures& m) {
         m.outgoing.low_share = 0.8f, m.incoming.low_share = 0.7f;
       },
       &CompatibilityScores::bass, 0.0f},
      {"16 beats", [](Candidate&, CandidateMeasures&) {}, &CompatibilityScores::length, 1.0f},
      {"8 beats", [](Candidate& c, CandidateMeasures&) { c.beats = 8; }, &CompatibilityScores::length, 0.5f},
      {"32 beats", [](Candidate& c, CandidateMeasures&) { c.beats = 32; }, &CompatibilityScores::length, 0.5f},
      {"4 beats", [](Candidate& c, CandidateMeasures&) { c.beats = 4; }, &CompatibilityScores::length, 0.0f},
      {"128 beats", [](Candidate& c, CandidateMeasures&) { c.beats = 128; }, &CompatibilityScores::length, 0.0f},
      {"0 beats count as 1", [](Candidate& c, CandidateMeasures&) { c.beats = 0; }, &CompatibilityScores::length,
       0.0f},
      {"unmatched tempos", [](Candidate& c, CandidateMeasures&) { c.tempo_matched = false; },
       &CompatibilityScores::tempo, 0.35f},
  };
  const PlannerConfig config = PlannerConfig::defaults(false);
  for (const auto& c : cases) {
    Candidate candidate = matched_candidate(config, 120.0f, 120.0f);
    CandidateMeasures measures = perfect_measures();
    c.change(candidate, measures);
    const ScoredCandidate scored = score_measures(candidate, measures, config);
    EXPECT_NEAR(scored.scores.*c.score, c.expected, 1e-6f) << c.name;
  }

  // A preferred length of 0 counts as 1, so one beat scores fully.
  PlannerConfig one_beat = config;
  one_beat.preferred_beats = 0;
  EXPECT_EQ(score_measures(matched_candidate(config, 120.0f, 120.0f, 1), perfect_measures(), one_beat).scores.length,
            1.0f);
}

TEST(Scoring, TotalIsTheWeightedMeanAndCarriesTheStrategy) {
  const PlannerConfig config = PlannerConfig::defaults(false);
  const Candidate candidate = matched_candidate(config, 120.0f, 120.0f);
  CandidateMeasures measures = perfect_measures();
  const ScoredCandidate perfect = score_measures(candidate, measures, config);
  EXPECT_EQ(perfect.scores.total, 1.0f);
  EXPECT_EQ(perfect.candidate.outgoing_start, candidate.outgoing_start);
  EXPECT_EQ(perfect.strategy, TransitionStrategy::BeatmatchedCrossfade);

  // beat 0.5 (weight 1.0) and length 0.5 (weight 0.5): (8.2 - 0.5 - 0.25) / 8.2.
  measures.beat = 0.5f;
  const ScoredCandidate mixed = score_measures(matched_candidate(config, 120.0f, 120.0f, 8), measures, config);
  EXPECT_NEAR(mixed.scores.total, 7.45f / 8.2f, 1e-6f);

  // Both stretches bass-heavy at matched tempos: a bass swap.
  measures.outgoing.low_share = 0.35f;
  measures.incoming.low_share = 0.32f;
  EXPECT_EQ(score_measures(candidate, measures, config).strategy, TransitionStrategy::BassSwap);
}

// Frames every 50 ms whose every feature wanders, so that no two stretches
// summarise alike.
TrackAnalysis wandering_analysis(double seconds, std::uint32_t seed) {
  TrackAnalysis analysis;
  fixtures::SeededRandom random(seed);
  const auto next = [&] { return random.unit(); };
  for (double t = 0.025; t < seconds; t += 0.05) {
    analysis.frames.push_back(FrameFeatures{.time = t,
                                            .rms = 0.01f + next() * static_cast<float>(t / seconds),
                                            .low = next(),
                                            .mid = next(),
                                            .high = next(),
                                            .centroid_hz = 200.0f + 4000.0f * next(),
                                            .flux = next() * next()});
  }
  return analysis;
}

TEST(Scoring, ScorerReusesSummariesWithoutChangingAnyScore) {
  const PlannerConfig config = PlannerConfig::defaults(false);
  const BeatGrid outgoing = regular_grid(124.0f, 60.0);
  const BeatGrid incoming = regular_grid(126.0f, 60.0);
  const TrackAnalysis outgoing_analysis = wandering_analysis(60.0, 1);
  const TrackAnalysis incoming_analysis = wandering_analysis(60.0, 2);
  const RegionConstraint unconstrained;
  const std::optional<std::vector<std::uint32_t>> any_length;
  const SearchSpace space{60.0, 60.0, outgoing, incoming, unconstrained, unconstrained, any_length};
  const SearchResult search =
      enumerate_candidates(space, match_tempo(config, outgoing.bpm(), incoming.bpm()), config);
  ASSERT_GT(search.candidates.size(), 500u);

  const ScoringInputs inputs{outgoing, incoming, outgoing_analysis, incoming_analysis};
  const std::vector<ScoredCandidate> all = score_candidates(search.candidates, inputs, config);
  ASSERT_EQ(all.size(), search.candidates.size());
  for (std::size_t k = 0; k < all.size(); ++k) {
    const Candidate& candidate = search.candidates[k];
    const ScoredCandidate& cached = all[k];
    const ScoredCandidate direct = score_candidate(candidate, inputs, config);
    const CompatibilityScores& a = cached.scores;
    const CompatibilityScores& b = direct.scores;
    ASSERT_TRUE(a.total == b.total && a.beat == b.beat && a.phrase == b.phrase && a.tempo == b.tempo &&
                a.spectral == b.spectral && a.loudness == b.loudness && a.energy == b.energy &&
                a.density == b.density && a.bass == b.bass && a.length == b.length)
        << candidate.outgoing_start << " " << candidate.incoming_start << " " << candidate.beats;
    ASSERT_EQ(cached.strategy, direct.strategy);
  }
}

TEST(Scoring, ChoiceTakesTheFirstStrictlyBestTotal) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    std::vector<float> totals;
    std::size_t expected;
  } cases[] = {
      {{0.5f, 0.7f, 0.7f, 0.6f}, 1},  // ties keep the earlier
      {{nan, 0.2f}, 1},               // NaN is never chosen
      {{0.2f, nan, 0.3f}, 2},
      {{nan, nan}, 0},                // nothing beats the start
      {{-inf, -inf}, 0},
      {{-3.4028235e38f, -1.0f}, 1},   // the lowest float does not beat itself
      {{0.9f}, 0},
      {{}, 0},
  };
  for (const auto& c : cases) {
    std::vector<ScoredCandidate> scored(c.totals.size());
    for (std::size_t k = 0; k < c.totals.size(); ++k) scored[k].scores.total = c.totals[k];
    EXPECT_EQ(choose_best(scored), c.expected) << ::testing::PrintToString(c.totals);
  }
}

}  // namespace
}  // namespace segue
