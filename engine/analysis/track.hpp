// analyze_track: a track's TrackAnalysis over the span a transition can touch.
#pragma once

#include "engine/analysis/spectrum.hpp"
#include "engine/types/analysis.hpp"
#include "engine/types/beat.hpp"

namespace segue {

// Frames of the span (with the settings' split frequencies), the estimated
// beats per bar and max(bars_per_phrase, 1). Span in seconds as
// SpectralAnalyzer::frames reads it. Cannot fail on valid records; a
// negative length analyses nothing. Allocates the frame list; uses the
// analyser's work buffers, so one call at a time per analyser.
TrackAnalysis analyze_track(SpectralAnalyzer& analyzer, const AudioBuffer& audio, const BeatGrid& grid,
                            const AnalysisSettings& settings, double span_start, double span_length);

}  // namespace segue
