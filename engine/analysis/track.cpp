#include "engine/analysis/track.hpp"

#include <algorithm>

#include "engine/analysis/phrase.hpp"

namespace segue {

TrackAnalysis analyze_track(SpectralAnalyzer& analyzer, const AudioBuffer& audio, const BeatGrid& grid,
                            const AnalysisSettings& settings, double span_start, double span_length) {
  TrackAnalysis analysis;
  analysis.frames = analyzer.frames(audio, span_start, span_length, settings.low_split_hz, settings.high_split_hz);
  analysis.beats_per_bar = estimate_beats_per_bar(grid);
  analysis.bars_per_phrase = std::max<std::uint32_t>(settings.bars_per_phrase, 1);
  return analysis;
}

}  // namespace segue
