// SpectralAnalyzer: frame-by-frame level, three-band spectrum, centroid and
// flux over a span of a track.
//
// Built once per job from the analysis settings and used for both tracks.
// Owns the periodic Hann window, the FFT plan and every work buffer, all made
// at construction; `frames` allocates nothing per frame except the returned
// list, which it reserves up front. Not thread-safe: one job, one thread.
#pragma once

#include <memory>
#include <vector>

#include "engine/audio/buffer.hpp"
#include "engine/planner/config.hpp"
#include "engine/types/analysis.hpp"

namespace segue {

class SpectralAnalyzer {
 public:
  explicit SpectralAnalyzer(const AnalysisSettings& settings);
  ~SpectralAnalyzer();
  SpectralAnalyzer(SpectralAnalyzer&&) noexcept;
  SpectralAnalyzer& operator=(SpectralAnalyzer&&) noexcept;

  // Frames over [span_start, span_start + span_length) seconds of `audio`,
  // clamped to the track; a negative start reads as 0. Fewer samples than
  // one frame give no frames.
  std::vector<FrameFeatures> frames(const AudioBuffer& audio, double span_start, double span_length,
                                    float low_split_hz, float high_split_hz);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace segue
