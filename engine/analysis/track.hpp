// analyze_track: a track's TrackAnalysis over the span a transition can touch.
#pragma once

#include "engine/analysis/spectrum.hpp"
#include "engine/types/analysis.hpp"
#include "engine/types/beat.hpp"

namespace segue {

// Frames of the span (with the settings' split frequencies), the estimated
// beats per bar and max(bars_per_phrase, 1). Cannot fail on valid records; a
// negative length analyses nothing.
TrackAnalysis analyze_track(SpectralAnalyzer& analyzer, const AudioBuffer& audio, const BeatGrid& grid,
                            const AnalysisSettings& settings, double span_start, double span_length);

}  // namespace segue
