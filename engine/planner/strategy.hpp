// The five mixing strategies and the rule that picks one for a candidate.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/planner/config.hpp"

namespace segue {

struct Candidate;

enum class TransitionStrategy : std::uint8_t {
  EqualPowerCrossfade = 0,
  BeatmatchedCrossfade = 1,
  BassSwap = 2,
  FilteredBlend = 3,
  ShortFade = 4,
};

// "equal-power crossfade", "beatmatched crossfade", "bass swap",
// "filtered blend", "short fade".
std::string_view strategy_name(TransitionStrategy strategy);

// First match wins: short overlaps fade; matched tempos swap the bass when
// both stretches carry enough of it, blend through filters when the spectra
// clash, else crossfade on the beat; unmatched tempos blend or crossfade.
// A NaN low share counts as below the threshold.
TransitionStrategy choose_strategy(const Candidate& candidate, float spectral, float outgoing_low_share,
                                   float incoming_low_share, const PlannerConfig& config);

}  // namespace segue
