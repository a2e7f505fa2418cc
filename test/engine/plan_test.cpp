#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "engine/numeric.hpp"
#include "engine/planner/plan.hpp"

#include "test/support/grids.hpp"

namespace segue {
namespace {

using fixtures::regular_grid;

// Low rate and short tracks keep the loudness readings cheap.
constexpr std::uint32_t kRate = 8000;

AudioBuffer tone(double seconds, double amplitude, std::size_t channels = 2) {
  Channel samples(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * 440.0 * i / kRate));
  }
  return AudioBuffer::create(std::vector<Channel>(channels, samples), kRate).value();
}

// The same frame every 50 ms: every stretch summarises alike, so candidates
// differ only by their grid positions and lengths.
TrackAnalysis steady_analysis(double seconds) {
  TrackAnalysis analysis;
  for (double t = 0.025; t < seconds; t += 0.05) {
    analysis.frames.push_back(FrameFeatures{
        .time = t, .rms = 0.2f, .low = 1.0f, .mid = 2.0f, .high = 1.0f, .centroid_hz = 900.0f, .flux = 0.1f});
  }
  return analysis;
}

struct PlanCase {
  AudioBuffer outgoing_audio = tone(60.0, 0.5);
  AudioBuffer incoming_audio = tone(60.0, 0.5);
  BeatGrid outgoing_grid = regular_grid(120.0f, 60.0);
  BeatGrid incoming_grid = regular_grid(120.0f, 60.0);
  TrackAnalysis outgoing_analysis = steady_analysis(60.0);
  TrackAnalysis incoming_analysis = steady_analysis(60.0);
  RegionConstraint outgoing_region;
  RegionConstraint incoming_region;
  std::optional<std::vector<std::uint32_t>> beat_lengths;
  PlannerConfig config = PlannerConfig::defaults(false);

  PlanRequest request() const {
    return PlanRequest{outgoing_audio,    incoming_audio,  outgoing_grid,   incoming_grid,
                       outgoing_analysis, incoming_analysis, outgoing_region, incoming_region,
                       beat_lengths,      2,                 kRate};
  }
  Result<TransitionPlan> plan() const { return plan_transition(request(), config); }

  // A single hand-made choice, for assembling a plan directly.
  Result<TransitionPlan> assemble(TransitionStrategy strategy, float outgoing_ratio = 1.0f,
                                  float incoming_ratio = 1.0f) const {
    ScoredCandidate chosen;
    chosen.candidate = Candidate{.outgoing_start = 40.0,
                                 .incoming_start = 4.0,
                                 .duration = 8.0,
                                 .beats = 16,
                                 .target_bpm = 120.0f,
                                 .outgoing_ratio = outgoing_ratio,
                                 .incoming_ratio = incoming_ratio,
                                 .tempo_matched = true};
    chosen.strategy = strategy;
    return assemble_plan(0, {chosen}, request(), config);
  }
};

void expect_glide(const Automation& gain, float from, float to, const char* name) {
  ASSERT_EQ(gain.points.size(), 2u) << name;
  EXPECT_EQ(gain.points[0].position, 0.0f) << name;
  EXPECT_NEAR(gain.points[0].value, from, 1e-3f) << name;
  EXPECT_EQ(gain.points[1].position, 1.0f) << name;
  EXPECT_NEAR(gain.points[1].value, to, 1e-3f) << name;
  EXPECT_EQ(gain.points[0].shape, CurveShape::SmoothStep) << name;
  EXPECT_EQ(gain.points[1].shape, CurveShape::SmoothStep) << name;
}

TEST(Plan, LoudnessTrims) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float outgoing, incoming;
    bool matching;
    float outgoing_db, incoming_db;
  } cases[] = {
      {-14.0f, -20.0f, true, -6.0f, 0.0f},
      {-14.0f, -30.0f, true, -6.0f, 0.0f},  // capped
      {-20.0f, -16.5f, true, 0.0f, -3.5f},  // only the louder track moves
      {-14.0f, -14.8f, true, 0.0f, 0.0f},   // within the tolerance
      {-14.0f, -15.0f, true, 0.0f, 0.0f},   // exactly 1 dB is not more than 1 dB
      {-14.0f, -20.0f, false, 0.0f, 0.0f},
      {nan, -20.0f, true, 0.0f, 0.0f},
      {inf, -20.0f, true, 0.0f, 0.0f},
  };
  const PlannerConfig defaults = PlannerConfig::defaults(false);
  for (const auto& c : cases) {
    PlannerConfig config = defaults;
    config.loudness_matching = c.matching;
    const LoudnessTrims trims = loudness_trims(c.outgoing, c.incoming, config);
    EXPECT_EQ(trims.outgoing_db, c.outgoing_db) << c.outgoing << " / " << c.incoming;
    EXPECT_EQ(trims.incoming_db, c.incoming_db) << c.outgoing << " / " << c.incoming;
  }
  EXPECT_NEAR(gain_from_db(-6.0f), 0.501187f, 1e-6f);
  EXPECT_EQ(gain_from_db(0.0f), 1.0f);
  EXPECT_EQ(gain_from_db(-120.0f), 0.0f);
  EXPECT_NEAR(gain_from_db(-119.0f), 1.122e-6f, 1e-9f);
}

TEST(Plan, GainMatchingFollowsTheMeasuredStretches) {
  const struct {
    const char* name;
    double outgoing_amplitude, incoming_amplitude;
    float outgoing_to, incoming_from;
  } cases[] = {
      {"outgoing 6 dB louder", 0.5, 0.25, 0.5012f, 1.0f},
      {"incoming 12 dB louder, capped at 6", 0.125, 0.5, 1.0f, 0.5012f},
      {"outgoing 3 dB louder", 0.5, 0.5 / std::sqrt(2.0), 0.7079f, 1.0f},
      {"0.8 dB apart", 0.5, 0.5 * std::pow(10.0, -0.8 / 20.0), 1.0f, 1.0f},
  };
  for (const auto& c : cases) {
    PlanCase setup;
    setup.outgoing_audio = tone(60.0, c.outgoing_amplitude);
    setup.incoming_audio = tone(60.0, c.incoming_amplitude);
    const Result<TransitionPlan> plan = setup.plan();
    ASSERT_TRUE(plan) << c.name << ": " << plan.error().to_text();
    expect_glide(plan->outgoing_gain, 1.0f, c.outgoing_to, c.name);
    expect_glide(plan->incoming_gain, c.incoming_from, 1.0f, c.name);
  }

  // Only the stretches that overlap count: a loud outgoing intro is not heard.
  PlanCase setup;
  const AudioBuffer loud = tone(60.0, 0.5);
  Channel quiet_end(loud.channel(0).begin(), loud.channel(0).end());
  for (std::size_t i = 20 * kRate; i < quiet_end.size(); ++i) quiet_end[i] *= 0.25f;
  setup.outgoing_audio = AudioBuffer::create({quiet_end, quiet_end}, kRate).value();
  setup.incoming_audio = tone(60.0, 0.125);
  const Result<TransitionPlan> plan = setup.plan();
  ASSERT_TRUE(plan);
  expect_glide(plan->outgoing_gain, 1.0f, 1.0f, "quiet outgoing end");
  expect_glide(plan->incoming_gain, 1.0f, 1.0f, "quiet outgoing end");
}

// Quiet (0.125) everywhere except a loud (0.5) stretch.
AudioBuffer loud_between(double seconds, double from, double to) {
  AudioBuffer audio = tone(seconds, 0.125);
  for (std::size_t c = 0; c < audio.channel_count(); ++c) {
    const std::span<float> samples = audio.channel(c);
    for (std::size_t i = static_cast<std::size_t>(from * kRate); i < static_cast<std::size_t>(to * kRate); ++i) {
      samples[i] *= 4.0f;
    }
  }
  return audio;
}

TEST(Plan, MeasuresTheStretchEachTrackPlays) {
  // The hand-made choice starts at 40 s (outgoing) and 4 s (incoming) and
  // lasts 8 s; at a ratio of 1.5 each track plays 12 s of its audio, so a
  // loud last third counts only when the ratio is honoured.
  const struct {
    const char* name;
    AudioBuffer outgoing, incoming;
    float outgoing_to, incoming_from;
  } cases[] = {
      {"outgoing loud 48 s to 52 s", loud_between(60.0, 48.0, 52.0), tone(60.0, 0.125), 0.5012f, 1.0f},
      {"incoming loud 12 s to 16 s", tone(60.0, 0.125), loud_between(60.0, 12.0, 16.0), 1.0f, 0.5012f},
  };
  for (const auto& c : cases) {
    PlanCase setup;
    setup.outgoing_audio = c.outgoing;
    setup.incoming_audio = c.incoming;
    const Result<TransitionPlan> plan = setup.assemble(TransitionStrategy::BeatmatchedCrossfade, 1.5f, 1.5f);
    ASSERT_TRUE(plan) << c.name;
    expect_glide(plan->outgoing_gain, 1.0f, c.outgoing_to, c.name);
    expect_glide(plan->incoming_gain, c.incoming_from, 1.0f, c.name);
  }
}

TEST(Plan, DiagnosticsKeepEveryScoredCandidateOnlyWhenAsked) {
  PlanCase setup;
  const Result<TransitionPlan> without = setup.plan();
  ASSERT_TRUE(without);
  EXPECT_FALSE(without->diagnostics.has_value());

  setup.config.diagnostics = true;
  const Result<TransitionPlan> with = setup.plan();
  ASSERT_TRUE(with);
  ASSERT_TRUE(with->diagnostics.has_value());
  const PlanDiagnostics& d = *with->diagnostics;
  ASSERT_EQ(d.candidates.size(), 784u);  // 1,024 combinations less 240 past the outgoing tail
  ASSERT_LT(d.selected, d.candidates.size());

  // The selection is the first of the best totals, and later candidates tie
  // with it (steady analyses leave only grid positions and lengths to differ).
  const auto best = std::max_element(d.candidates.begin(), d.candidates.end(),
                                     [](const auto& a, const auto& b) { return a.scores.total < b.scores.total; });
  EXPECT_EQ(d.selected, static_cast<std::size_t>(best - d.candidates.begin()));
  const auto tie = std::find_if(best + 1, d.candidates.end(),
                                [&](const auto& c) { return c.scores.total == best->scores.total; });
  EXPECT_NE(tie, d.candidates.end()) << "the fixture should contain a tie";

  // The plan is the selected candidate's, whatever the diagnostics switch.
  const ScoredCandidate& chosen = d.candidates[d.selected];
  EXPECT_EQ(with->outgoing_start, chosen.candidate.outgoing_start);
  EXPECT_EQ(with->incoming_start, chosen.candidate.incoming_start);
  EXPECT_EQ(with->duration, chosen.candidate.duration);
  EXPECT_EQ(with->beats, chosen.candidate.beats);
  EXPECT_EQ(with->strategy, chosen.strategy);
  EXPECT_EQ(without->outgoing_start, with->outgoing_start);
  EXPECT_EQ(without->incoming_start, with->incoming_start);
  EXPECT_EQ(without->beats, with->beats);

  // Enumeration order: outgoing start, incoming start, beats.
  EXPECT_EQ(d.candidates[0].candidate.beats, 4u);
  EXPECT_EQ(d.candidates[1].candidate.beats, 8u);
  EXPECT_EQ(d.candidates[4].candidate.incoming_start, 2.0);
}

TEST(Plan, EveryCandidateSharesTheTempoScore) {
  const struct {
    float outgoing_bpm, incoming_bpm, tempo;
  } cases[] = {
      {124.0f, 126.0f, 1.0f},
      {128.0f, 90.0f, 0.35f},  // unmatched
  };
  for (const auto& c : cases) {
    PlanCase setup;
    setup.config.diagnostics = true;
    setup.outgoing_grid = regular_grid(c.outgoing_bpm, 60.0);
    setup.incoming_grid = regular_grid(c.incoming_bpm, 60.0);
    const Result<TransitionPlan> plan = setup.plan();
    ASSERT_TRUE(plan);
    ASSERT_FALSE(plan->diagnostics->candidates.empty());
    for (const ScoredCandidate& scored : plan->diagnostics->candidates) {
      ASSERT_EQ(scored.scores.tempo, c.tempo) << c.outgoing_bpm << " / " << c.incoming_bpm;
    }
    EXPECT_EQ(plan->outgoing_bpm, c.outgoing_bpm);
  }
}

TEST(Plan, FadesAndFilterLanesFollowTheStrategy) {
  struct Point {
    float position, value;
  };
  const std::vector<Point> bass_up = {{0.0f, 20.0f}, {0.45f, 20.0f}, {0.55f, 180.0f}, {1.0f, 180.0f}};
  const std::vector<Point> bass_down = {{0.0f, 180.0f}, {0.45f, 180.0f}, {0.55f, 20.0f}, {1.0f, 20.0f}};
  const std::vector<Point> close_low_pass = {{0.0f, 18000.0f}, {0.3f, 18000.0f}, {1.0f, 400.0f}};
  const std::vector<Point> open_high_pass = {{0.0f, 180.0f}, {0.0f, 180.0f}, {0.6f, 20.0f}, {1.0f, 20.0f}};
  const struct {
    TransitionStrategy strategy;
    FadeShape outgoing_fade;
    std::optional<FilterKind> outgoing_kind, incoming_kind;
    std::vector<Point> outgoing_cutoff, incoming_cutoff;
    CurveShape outgoing_sweep = CurveShape::Exponential;
  } cases[] = {
      {TransitionStrategy::EqualPowerCrossfade, FadeShape::EqualPower, std::nullopt, std::nullopt, {}, {}},
      {TransitionStrategy::BeatmatchedCrossfade, FadeShape::EqualPower, std::nullopt, std::nullopt, {}, {}},
      {TransitionStrategy::ShortFade, FadeShape::EqualPower, std::nullopt, std::nullopt, {}, {}},
      {TransitionStrategy::BassSwap, FadeShape::EqualPower, FilterKind::HighPass, FilterKind::HighPass, bass_up,
       bass_down},
      {TransitionStrategy::FilteredBlend, FadeShape::SmoothStep, FilterKind::LowPass, FilterKind::HighPass,
       close_low_pass, open_high_pass, CurveShape::SCurveExponential},
  };
  const PlanCase setup;
  for (const auto& c : cases) {
    const char* name = strategy_name(c.strategy).data();
    const Result<TransitionPlan> plan = setup.assemble(c.strategy);
    ASSERT_TRUE(plan) << name;
    EXPECT_EQ(plan->strategy, c.strategy) << name;
    EXPECT_EQ(plan->outgoing_fade, c.outgoing_fade) << name;
    EXPECT_EQ(plan->incoming_fade, FadeShape::EqualPower) << name;
    const auto check = [&](const std::vector<FilterLane>& lanes, std::optional<FilterKind> kind,
                           const std::vector<Point>& cutoff, CurveShape sweep_shape, const char* track) {
      ASSERT_EQ(lanes.size(), kind ? 1u : 0u) << name << " " << track;
      if (!kind) return;
      const FilterLane& lane = lanes[0];
      EXPECT_EQ(lane.kind, *kind) << name << " " << track;
      EXPECT_EQ(lane.q, 0.70710677f) << name << " " << track;
      EXPECT_EQ(lane.gain_db, 0.0f) << name << " " << track;
      EXPECT_FALSE(lane.progress.has_value()) << name << " " << track;
      ASSERT_EQ(lane.cutoff.points.size(), cutoff.size()) << name << " " << track;
      for (std::size_t k = 0; k < cutoff.size(); ++k) {
        EXPECT_EQ(lane.cutoff.points[k].position, cutoff[k].position) << name << " " << track << " point " << k;
        EXPECT_EQ(lane.cutoff.points[k].value, cutoff[k].value) << name << " " << track << " point " << k;
      }
      // The moving segment starts at the second point and carries the sweep's shape.
      EXPECT_EQ(lane.cutoff.points[1].shape, sweep_shape) << name << " " << track;
    };
    check(plan->outgoing_filters, c.outgoing_kind, c.outgoing_cutoff, c.outgoing_sweep, "outgoing");
    check(plan->incoming_filters, c.incoming_kind, c.incoming_cutoff, CurveShape::Exponential, "incoming");
  }
}

TEST(Plan, FieldsAndPitch) {
  PlanCase setup;
  setup.outgoing_grid = regular_grid(120.0f, 60.0);
  Result<TransitionPlan> plan = setup.assemble(TransitionStrategy::BeatmatchedCrossfade, 1.0833334f, 1.0f);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->outgoing_start, 40.0);
  EXPECT_EQ(plan->incoming_start, 4.0);
  EXPECT_EQ(plan->duration, 8.0);
  EXPECT_EQ(plan->beats, 16u);
  EXPECT_EQ(plan->channels, 2u);
  EXPECT_EQ(plan->sample_rate, kRate);
  EXPECT_EQ(plan->outgoing_bpm, 120.0f);
  EXPECT_EQ(plan->target_bpm, 120.0f);
  EXPECT_EQ(plan->outgoing_ratio, 1.0833334f);
  EXPECT_EQ(plan->incoming_ratio, 1.0f);
  // Pitch is kept by default.
  EXPECT_EQ(plan->outgoing_pitch_semitones, 0.0f);
  EXPECT_EQ(plan->incoming_pitch_semitones, 0.0f);

  // Without it the pitch follows the speed, as on a turntable.
  setup.config.preserve_pitch = false;
  plan = setup.assemble(TransitionStrategy::BeatmatchedCrossfade, 1.0833334f, 0.5f);
  ASSERT_TRUE(plan);
  EXPECT_NEAR(plan->outgoing_pitch_semitones, 1.3857f, 1e-4f);
  EXPECT_NEAR(plan->incoming_pitch_semitones, -12.0f, 1e-5f);
  plan = setup.assemble(TransitionStrategy::BeatmatchedCrossfade, 0.0f, -1.0f);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->outgoing_pitch_semitones, 0.0f);
  EXPECT_EQ(plan->incoming_pitch_semitones, 0.0f);
}

TEST(Plan, FailuresMakeNoPlan) {
  // Every combination rejected: the search's text, unchanged.
  PlanCase setup;
  setup.outgoing_audio = tone(1.0, 0.5);
  setup.outgoing_grid = regular_grid(120.0f, 1.0);
  setup.incoming_audio = tone(30.0, 0.5);
  setup.incoming_grid = regular_grid(120.0f, 30.0);
  Result<TransitionPlan> plan = setup.plan();
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error().to_text(),
            "no viable transition found: no transition fits: 0 combinations were rejected for a 1.0s outgoing "
            "track and a 30.0s incoming track, with unconstrained");

  // The meter refuses both tracks; the outgoing reading comes first and ends
  // the call. Short tracks keep the many channels small.
  setup = PlanCase{};
  setup.outgoing_grid = regular_grid(120.0f, 5.0);
  setup.incoming_grid = regular_grid(120.0f, 5.0);
  setup.outgoing_analysis = steady_analysis(5.0);
  setup.incoming_analysis = steady_analysis(5.0);
  setup.outgoing_audio = tone(5.0, 0.5, 65);
  setup.incoming_audio = tone(5.0, 0.5, 66);
  plan = setup.plan();
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error().to_text(), "dsp failure: loudness meter: cannot create a meter for 65 channels at 8000 Hz");
  setup.outgoing_audio = tone(5.0, 0.5);
  plan = setup.plan();
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error().to_text(), "dsp failure: loudness meter: cannot create a meter for 66 channels at 8000 Hz");
}

}  // namespace
}  // namespace segue
