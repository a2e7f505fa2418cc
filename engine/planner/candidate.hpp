// A candidate transition and its compatibility scores.
#pragma once

#include <cstdint>

#include "engine/planner/strategy.hpp"

namespace segue {

struct Candidate {
  double outgoing_start = 0.0;  // seconds on the outgoing track where the overlap begins
  double incoming_start = 0.0;  // seconds on the incoming track where it enters
  double duration = 0.0;        // seconds of output time
  std::uint32_t beats = 0;      // overlap length in beats
  // The tempo match, the same for every candidate of a call. A ratio r plays
  // the track r times as fast: it consumes r x duration of its own audio.
  float target_bpm = 0.0f;
  float outgoing_ratio = 1.0f;
  float incoming_ratio = 1.0f;
  bool tempo_matched = false;
};

// Nine scores in [0, 1] and their weighted total, all 32-bit.
struct CompatibilityScores {
  float total = 0.0f;
  float beat = 0.0f;
  float phrase = 0.0f;
  float tempo = 0.0f;
  float spectral = 0.0f;
  float loudness = 0.0f;
  float energy = 0.0f;
  float density = 0.0f;
  float bass = 0.0f;
  float length = 0.0f;
};

struct ScoredCandidate {
  CompatibilityScores scores;
  Candidate candidate;
  TransitionStrategy strategy = TransitionStrategy::EqualPowerCrossfade;
};

}  // namespace segue
