#include "engine/planner/strategy.hpp"

#include "engine/planner/candidate.hpp"

namespace segue {

std::string_view strategy_name(TransitionStrategy strategy) {
  switch (strategy) {
    case TransitionStrategy::EqualPowerCrossfade:
      return "equal-power crossfade";
    case TransitionStrategy::BeatmatchedCrossfade:
      return "beatmatched crossfade";
    case TransitionStrategy::BassSwap:
      return "bass swap";
    case TransitionStrategy::FilteredBlend:
      return "filtered blend";
    case TransitionStrategy::ShortFade:
      return "short fade";
  }
  // Only a code outside the enumeration gets here; the plain crossfade is
  // what such a plan would be rendered as.
  return "equal-power crossfade";
}

TransitionStrategy choose_strategy(const Candidate& candidate, float spectral, float outgoing_low_share,
                                   float incoming_low_share, const PlannerConfig& config) {
  if (candidate.duration <= config.short_fade_max_duration) return TransitionStrategy::ShortFade;
  // Written as >= so that a NaN share fails the test, and as < so that a NaN
  // spectral score does not call for a blend.
  const bool spectra_clash = spectral < config.blend_max_spectral_score;
  if (candidate.tempo_matched) {
    if (outgoing_low_share >= config.bass_swap_min_low_share &&
        incoming_low_share >= config.bass_swap_min_low_share) {
      return TransitionStrategy::BassSwap;
    }
    return spectra_clash ? TransitionStrategy::FilteredBlend : TransitionStrategy::BeatmatchedCrossfade;
  }
  return spectra_clash ? TransitionStrategy::FilteredBlend : TransitionStrategy::EqualPowerCrossfade;
}

}  // namespace segue
