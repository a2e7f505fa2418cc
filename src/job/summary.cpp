#include "src/job/summary.hpp"

#include "engine/format.hpp"

namespace segue {

std::string format_summary(const TransitionPlan& plan) {
  const float tempo_change_percent = (plan.outgoing_ratio - 1.0f) * 100.0f;
  std::string text = "Selected " + std::to_string(plan.beats) + "-beat transition\n\n";
  text += "Outgoing start: " + format_fixed(plan.outgoing_start, 2) + "s\n";
  text += "Incoming start: " + format_fixed(plan.incoming_start, 2) + "s\n";
  text += "Duration: " + format_fixed(plan.duration, 2) + "s\n";
  text += "Tempo: " + format_fixed(plan.outgoing_bpm, 1) + " -> " + format_fixed(plan.target_bpm, 1) + " BPM (" +
          format_signed_fixed(tempo_change_percent, 1) + "%)\n";
  text += "Strategy: " + std::string(strategy_name(plan.strategy)) + "\n";

  if (plan.diagnostics && plan.diagnostics->selected < plan.diagnostics->candidates.size()) {
    const CompatibilityScores& scores = plan.diagnostics->candidates[plan.diagnostics->selected].scores;
    // The labels are padded so the numbers line up in one column.
    text += "\ntempo compatibility:    " + format_fixed(scores.tempo, 2) + "\n";
    text += "phrase alignment:       " + format_fixed(scores.phrase, 2) + "\n";
    text += "spectral compatibility: " + format_fixed(scores.spectral, 2) + "\n";
    text += "loudness compatibility: " + format_fixed(scores.loudness, 2) + "\n";
    text += "total:                  " + format_fixed(scores.total, 2) + "\n";
  }
  return text;
}

}  // namespace segue
