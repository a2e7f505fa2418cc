#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/planner/candidate.hpp"
#include "engine/planner/strategy.hpp"

namespace segue {
namespace {

TEST(Strategy, NamesAreTheSummaryTexts) {
  EXPECT_EQ(strategy_name(TransitionStrategy::EqualPowerCrossfade), "equal-power crossfade");
  EXPECT_EQ(strategy_name(TransitionStrategy::BeatmatchedCrossfade), "beatmatched crossfade");
  EXPECT_EQ(strategy_name(TransitionStrategy::BassSwap), "bass swap");
  EXPECT_EQ(strategy_name(TransitionStrategy::FilteredBlend), "filtered blend");
  EXPECT_EQ(strategy_name(TransitionStrategy::ShortFade), "short fade");
}

TEST(Strategy, FirstMatchingRuleWins) {
  const float nan = std::nanf("");
  const struct {
    const char* name;
    double duration;
    bool matched;
    float spectral, out_low, in_low;
    TransitionStrategy expected;
  } cases[] = {
      {"4 beats at 120 BPM", 2.0, true, 0.9f, 0.5f, 0.5f, TransitionStrategy::ShortFade},
      {"4 beats at 96 BPM is still short", 2.5, false, 0.1f, 0.5f, 0.5f, TransitionStrategy::ShortFade},
      {"8 beats at 120 BPM is not", 4.0, true, 0.9f, 0.1f, 0.1f, TransitionStrategy::BeatmatchedCrossfade},
      {"both tracks bass-heavy", 8.0, true, 0.1f, 0.35f, 0.32f, TransitionStrategy::BassSwap},
      {"low shares exactly at the threshold", 8.0, true, 0.9f, 0.3f, 0.3f, TransitionStrategy::BassSwap},
      {"one light track, clashing spectra", 8.0, true, 0.45f, 0.35f, 0.25f, TransitionStrategy::FilteredBlend},
      {"spectral 0.5 is not below 0.5", 8.0, true, 0.5f, 0.35f, 0.25f, TransitionStrategy::BeatmatchedCrossfade},
      {"a NaN low share is below the threshold", 8.0, true, 0.9f, nan, 0.9f,
       TransitionStrategy::BeatmatchedCrossfade},
      {"unmatched never swaps the bass", 8.0, false, 0.9f, 0.9f, 0.9f, TransitionStrategy::EqualPowerCrossfade},
      {"unmatched with clashing spectra", 8.0, false, 0.49f, 0.9f, 0.9f, TransitionStrategy::FilteredBlend},
      {"unmatched at the boundary", 8.0, false, 0.5f, 0.0f, 0.0f, TransitionStrategy::EqualPowerCrossfade},
  };
  const PlannerConfig config = PlannerConfig::defaults(false);
  for (const auto& c : cases) {
    Candidate candidate;
    candidate.duration = c.duration;
    candidate.tempo_matched = c.matched;
    EXPECT_EQ(std::string(strategy_name(choose_strategy(candidate, c.spectral, c.out_low, c.in_low, config))),
              std::string(strategy_name(c.expected)))
        << c.name;
  }
}

}  // namespace
}  // namespace segue
