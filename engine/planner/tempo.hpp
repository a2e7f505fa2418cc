// Tempo match: at which tempo the overlap plays and how fast each track runs.
//
// A tempo ratio r means the track plays r times as fast during the overlap:
// it consumes r x duration seconds of its own audio. Example: 1.02 plays the
// track 2 % faster, consuming 1.02 s of source per second of output. All
// arithmetic is 32-bit float.
#pragma once

#include "engine/planner/config.hpp"

namespace segue {

struct TempoMatch {
  float outgoing_bpm = 0.0f;  // the outgoing grid's tempo
  float incoming_bpm = 0.0f;  // the incoming tempo after doubling or halving
  float target_bpm = 0.0f;
  float outgoing_ratio = 1.0f;
  float incoming_ratio = 1.0f;
  bool tempo_matched = false;
};

// Folds the incoming tempo by 2 or 1/2 towards the outgoing one (when
// allowed), then targets the configured tempo; a deviation beyond
// `max_ratio_deviation` leaves the tempos unmatched (target = outgoing tempo,
// both ratios 1). Cannot fail.
TempoMatch match_tempo(const PlannerConfig& config, float outgoing_bpm, float incoming_bpm);

}  // namespace segue
