#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "engine/planner/config.hpp"
#include "engine/planner/constraints.hpp"
#include "engine/planner/tempo.hpp"

namespace segue {
namespace {

std::string status_text(const Status& status) { return status ? std::string("ok") : status.error().to_text(); }

TEST(PlannerConfig, DefaultsPassAndCarryTheDiagnosticsSwitch) {
  const PlannerConfig config = PlannerConfig::defaults(true);
  EXPECT_TRUE(config.validate());
  EXPECT_TRUE(config.diagnostics);
  EXPECT_FALSE(PlannerConfig::defaults(false).diagnostics);
  EXPECT_EQ(config.allowed_beat_lengths, (std::vector<std::uint32_t>{4, 8, 16, 32}));
  const ScoreWeights& w = config.weights;
  EXPECT_FLOAT_EQ(w.beat + w.phrase + w.tempo + w.spectral + w.loudness + w.energy + w.density + w.bass + w.length,
                  8.2f);
  EXPECT_FALSE(config.output_sample_rate.has_value());
}

TEST(PlannerConfig, ValidationChecksInOrder) {
  const struct {
    std::function<void(PlannerConfig&)> change;
    const char* text;
  } cases[] = {
      {[](PlannerConfig& c) { c.min_duration = 0; }, "unsupported configuration: require 0 < min_duration < max_duration"},
      {[](PlannerConfig& c) { c.max_duration = 1.5; }, "unsupported configuration: require 0 < min_duration < max_duration"},
      {[](PlannerConfig& c) { c.min_duration = std::nan(""); }, "unsupported configuration: require 0 < min_duration < max_duration"},
      {[](PlannerConfig& c) { c.allowed_beat_lengths = {}; },
       "unsupported configuration: allowed_beat_lengths must be non-empty and contain no zeroes"},
      {[](PlannerConfig& c) { c.allowed_beat_lengths = {4, 0}; },
       "unsupported configuration: allowed_beat_lengths must be non-empty and contain no zeroes"},
      {[](PlannerConfig& c) { c.incoming_search_window = 0; }, "unsupported configuration: search windows must be positive"},
      {[](PlannerConfig& c) { c.preferred_ratio_deviation = 0; },
       "unsupported configuration: require 0 < preferred <= acceptable <= max ratio deviation < 1"},
      {[](PlannerConfig& c) { c.max_ratio_deviation = 1.0f; },
       "unsupported configuration: require 0 < preferred <= acceptable <= max ratio deviation < 1"},
      {[](PlannerConfig& c) { c.acceptable_ratio_deviation = std::nanf(""); },
       "unsupported configuration: require 0 < preferred <= acceptable <= max ratio deviation < 1"},
      // The first failing check wins.
      {[](PlannerConfig& c) { c.min_duration = 0; c.allowed_beat_lengths = {}; },
       "unsupported configuration: require 0 < min_duration < max_duration"},
  };
  for (const auto& c : cases) {
    PlannerConfig config = PlannerConfig::defaults(false);
    c.change(config);
    EXPECT_EQ(status_text(config.validate()), c.text);
  }
}

TEST(RegionConstraint, Validation) {
  const double nan = std::nan("");
  const struct {
    RegionConstraint region;
    const char* track;
    const char* text;
  } cases[] = {
      {{TimeWindow{10, 5}, std::nullopt}, "outgoing",
       "unsupported configuration: outgoing start window ends before it begins: 10..=5"},
      {{std::nullopt, TimeWindow{nan, 4}}, "incoming",
       "unsupported configuration: incoming end window must be finite, got NaN..=4"},
      {{TimeWindow{1, INFINITY}, TimeWindow{nan, 4}}, "incoming",
       "unsupported configuration: incoming start window must be finite, got 1..=inf"},
      {{TimeWindow{7, 7}, TimeWindow{8.5, 9}}, "outgoing", "ok"},
      {{}, "outgoing", "ok"},
  };
  for (const auto& c : cases) EXPECT_EQ(status_text(c.region.validate(c.track)), c.text);

  EXPECT_EQ(status_text(validate_beat_lengths(std::vector<std::uint32_t>{})),
            "unsupported configuration: beat_lengths constraint is empty, which admits no transition");
  EXPECT_TRUE(validate_beat_lengths(std::nullopt));
  EXPECT_TRUE(validate_beat_lengths(std::vector<std::uint32_t>{0}));
}

TEST(RegionConstraint, StartRange) {
  const RegionConstraint end_only{std::nullopt, TimeWindow{60, 62}};
  auto range = end_only.start_range(1.5, 16, 1.0);
  ASSERT_TRUE(range);
  EXPECT_DOUBLE_EQ(range->earliest, 44);
  EXPECT_DOUBLE_EQ(range->latest, 60.5);

  const RegionConstraint both{TimeWindow{50, 55}, TimeWindow{60, 62}};
  range = both.start_range(1.5, 16, 1.0);
  ASSERT_TRUE(range);
  EXPECT_DOUBLE_EQ(range->earliest, 50);
  EXPECT_DOUBLE_EQ(range->latest, 55);

  const RegionConstraint start_only{TimeWindow{12, 20}, std::nullopt};
  range = start_only.start_range(1.5, 16, 1.0);
  ASSERT_TRUE(range);
  EXPECT_DOUBLE_EQ(range->earliest, 12);
  EXPECT_DOUBLE_EQ(range->latest, 20);

  EXPECT_FALSE(RegionConstraint{}.start_range(1.5, 16, 1.0));
}

TEST(RegionConstraint, AnalysisSpan) {
  const RegionConstraint none;
  // Unconstrained outgoing track of 30 s: 30 - 45 clamps to 0.
  EXPECT_EQ(none.analysis_span(1.5, 16, 1.0, 30 - 45.0, 30, 30), std::make_pair(0.0, 30.0));
  // Unconstrained incoming tracks: 45 + 0 + 16 = 61, clamped to the track.
  EXPECT_EQ(none.analysis_span(1.5, 16, 1.0, 0, 61, 80), std::make_pair(0.0, 61.0));
  EXPECT_EQ(none.analysis_span(1.5, 16, 1.0, 0, 61, 50), std::make_pair(0.0, 50.0));
  // A constrained start widens the span to the longest overlap after it.
  const RegionConstraint late{TimeWindow{70, 75}, std::nullopt};
  EXPECT_EQ(late.analysis_span(1.5, 16, 1.0, 0, 61, 100), std::make_pair(0.0, 91.0));
  const RegionConstraint early{TimeWindow{5, 10}, std::nullopt};
  EXPECT_EQ(early.analysis_span(1.5, 16, 1.0, 45, 90, 90), std::make_pair(5.0, 90.0));
}

TEST(RegionConstraint, Descriptions) {
  std::vector<std::string> lines;
  RegionConstraint{TimeWindow{12.5, 20}, TimeWindow{30, 40.125}}.describe("outgoing", lines);
  RegionConstraint{std::nullopt, TimeWindow{1, 2}}.describe("incoming", lines);
  RegionConstraint{}.describe("incoming", lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"outgoing start in 12.50..=20.00s", "outgoing end in 30.00..=40.12s",
                                             "incoming end in 1.00..=2.00s"}));
  EXPECT_EQ(describe_beat_lengths({4, 8}), "beat lengths [4, 8]");
}

TEST(TempoMatch, FoldsTargetsAndLimits) {
  const PlannerConfig config = PlannerConfig::defaults(false);
  const struct {
    float outgoing, incoming;
    float incoming_folded, target, outgoing_ratio, incoming_ratio;
    bool matched;
  } cases[] = {
      {128, 64, 128, 128, 1, 1, true},
      // 180 is nearer than 90 on the log scale, but 180/128 deviates by 0.41.
      {128, 90, 180, 128, 1, 1, false},
      {124, 126, 126, 126, 126.0f / 124.0f, 1, true},
      {120, 130, 130, 130, 130.0f / 120.0f, 1, true},
      {0, 120, 120, 0, 1, 1, false},
  };
  for (const auto& c : cases) {
    const TempoMatch m = match_tempo(config, c.outgoing, c.incoming);
    EXPECT_EQ(m.outgoing_bpm, c.outgoing);
    EXPECT_EQ(m.incoming_bpm, c.incoming_folded) << c.outgoing << "/" << c.incoming;
    EXPECT_EQ(m.target_bpm, c.target) << c.outgoing << "/" << c.incoming;
    EXPECT_EQ(m.outgoing_ratio, c.outgoing_ratio) << c.outgoing << "/" << c.incoming;
    EXPECT_EQ(m.incoming_ratio, c.incoming_ratio) << c.outgoing << "/" << c.incoming;
    EXPECT_EQ(m.tempo_matched, c.matched) << c.outgoing << "/" << c.incoming;
  }
}

TEST(TempoMatch, TargetsAndSwitches) {
  PlannerConfig config = PlannerConfig::defaults(false);
  config.tempo_target = TempoTarget::Unchanged;
  TempoMatch m = match_tempo(config, 124, 126);
  EXPECT_FALSE(m.tempo_matched);
  EXPECT_EQ(m.target_bpm, 124.0f);
  EXPECT_EQ(m.outgoing_ratio, 1.0f);

  config.tempo_target = TempoTarget::Outgoing;
  m = match_tempo(config, 124, 126);
  EXPECT_TRUE(m.tempo_matched);
  EXPECT_EQ(m.target_bpm, 124.0f);
  EXPECT_EQ(m.incoming_ratio, 124.0f / 126.0f);

  config.tempo_target = TempoTarget::GeometricMean;
  m = match_tempo(config, 100, 110);
  EXPECT_EQ(m.target_bpm, std::sqrt(100.0f * 110.0f));
  EXPECT_EQ(m.outgoing_ratio, std::sqrt(100.0f * 110.0f) / 100.0f);

  config.tempo_target = TempoTarget::Incoming;
  config.allow_double_half_tempo = false;
  m = match_tempo(config, 128, 64);
  EXPECT_EQ(m.incoming_bpm, 64.0f);
  EXPECT_FALSE(m.tempo_matched);
}

}  // namespace
}  // namespace segue
