#include "src/job/summary.hpp"

#include <gtest/gtest.h>

namespace segue {
namespace {

TransitionPlan example_plan() {
  TransitionPlan plan;
  plan.beats = 16;
  plan.strategy = TransitionStrategy::BeatmatchedCrossfade;
  plan.outgoing_start = 181.25;
  plan.incoming_start = 12.5;
  plan.duration = 7.5;
  plan.outgoing_bpm = 126.0f;
  plan.target_bpm = 128.0f;
  plan.outgoing_ratio = 128.0f / 126.0f;
  return plan;
}

TEST(Summary, SevenLinesWithoutDiagnostics) {
  EXPECT_EQ(format_summary(example_plan()),
            "Selected 16-beat transition\n"
            "\n"
            "Outgoing start: 181.25s\n"
            "Incoming start: 12.50s\n"
            "Duration: 7.50s\n"
            "Tempo: 126.0 -> 128.0 BPM (+1.6%)\n"
            "Strategy: beatmatched crossfade\n");
}

TEST(Summary, TempoChangeCarriesItsSign) {
  TransitionPlan plan = example_plan();
  plan.outgoing_ratio = 1.0f;
  plan.target_bpm = plan.outgoing_bpm;
  EXPECT_NE(format_summary(plan).find("Tempo: 126.0 -> 126.0 BPM (+0.0%)\n"), std::string::npos);
  plan.outgoing_ratio = 122.0f / 126.0f;
  plan.target_bpm = 122.0f;
  plan.strategy = TransitionStrategy::ShortFade;
  const std::string text = format_summary(plan);
  EXPECT_NE(text.find("Tempo: 126.0 -> 122.0 BPM (-3.2%)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Strategy: short fade\n"), std::string::npos);
}

TEST(Summary, DiagnosticsAppendTheChosenScores) {
  TransitionPlan plan = example_plan();
  PlanDiagnostics diagnostics;
  diagnostics.candidates.resize(3);
  CompatibilityScores& scores = diagnostics.candidates[1].scores;
  scores.tempo = 1.0f;
  scores.phrase = 0.854f;
  scores.spectral = 0.6666f;
  scores.loudness = 0.125f;
  scores.total = 0.73456f;
  diagnostics.selected = 1;
  plan.diagnostics = diagnostics;
  const std::string text = format_summary(plan);
  EXPECT_EQ(text.substr(text.find("Strategy:")),
            "Strategy: beatmatched crossfade\n"
            "\n"
            "tempo compatibility:    1.00\n"
            "phrase alignment:       0.85\n"
            "spectral compatibility: 0.67\n"
            "loudness compatibility: 0.12\n"
            "total:                  0.73\n");

  plan.diagnostics->selected = 3;  // not a candidate: no score lines
  EXPECT_EQ(format_summary(plan), format_summary(example_plan()));
}

}  // namespace
}  // namespace segue
