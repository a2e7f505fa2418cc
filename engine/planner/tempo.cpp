#include "engine/planner/tempo.hpp"

#include <cmath>

namespace segue {
namespace {

float fold_incoming(float outgoing, float incoming) {
  const auto octaves_from_outgoing = [outgoing](float bpm) { return std::fabs(std::log2(bpm / outgoing)); };
  float folded = incoming;
  // Ties keep the earlier choice.
  if (octaves_from_outgoing(2.0f * incoming) < octaves_from_outgoing(folded)) folded = 2.0f * incoming;
  if (octaves_from_outgoing(0.5f * incoming) < octaves_from_outgoing(folded)) folded = 0.5f * incoming;
  return folded;
}

}  // namespace

TempoMatch match_tempo(const PlannerConfig& config, float outgoing_bpm, float incoming_bpm) {
  float incoming = incoming_bpm;
  if (config.allow_double_half_tempo && outgoing_bpm > 0.0f && incoming_bpm > 0.0f) {
    incoming = fold_incoming(outgoing_bpm, incoming_bpm);
  }

  TempoMatch match{outgoing_bpm, incoming, outgoing_bpm, 1.0f, 1.0f, false};
  if (!(incoming > 0.0f && outgoing_bpm > 0.0f) || config.tempo_target == TempoTarget::Unchanged) return match;

  float target = incoming;
  switch (config.tempo_target) {
    case TempoTarget::Incoming:
      target = incoming;
      break;
    case TempoTarget::Outgoing:
      target = outgoing_bpm;
      break;
    case TempoTarget::GeometricMean:
      target = std::sqrt(outgoing_bpm * incoming);
      break;
    case TempoTarget::Unchanged:
      break;
  }
  const float outgoing_ratio = target / outgoing_bpm;
  const float incoming_ratio = target / incoming;
  const float outgoing_deviation = std::fabs(outgoing_ratio - 1.0f);
  float deviation = std::fmax(outgoing_deviation, std::fabs(incoming_ratio - 1.0f));
  if (std::isnan(deviation)) deviation = outgoing_deviation;
  if (deviation > config.max_ratio_deviation) return match;

  match.target_bpm = target;
  match.outgoing_ratio = outgoing_ratio;
  match.incoming_ratio = incoming_ratio;
  match.tempo_matched = true;
  return match;
}

}  // namespace segue
