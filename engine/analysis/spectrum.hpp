// SpectralAnalyzer: frame-by-frame level, three-band spectrum, centroid and
// flux over a span of a track.
//
// Frames are `frame_size` samples (2048 by default) every `hop_size` (512)
// of the span's mono mixdown. Per frame: `time` is the frame's centre in
// seconds on the track's timeline; `rms` the level of the unwindowed mono
// samples (linear, 1 = full scale); `low`, `mid`, `high` sums of the
// Hann-windowed spectrum's unnormalised bin magnitudes below the low split,
// between the splits and from the high split up; `centroid_hz` the
// magnitude-weighted mean bin frequency (0 for a silent frame); `flux` the
// mean positive magnitude change against the previous frame of the same
// call (the first frame compares against silence).
//
// Built once per job from the analysis settings and used for both tracks.
// Owns the periodic Hann window, the FFT plan and every work buffer; the
// constructor makes them, and `frames` allocates nothing per frame except
// the returned list, which it reserves up front (its mono work buffer grows
// once to one group of frames, (8 - 1) x hop + frame size samples, and keeps
// that capacity).
//
// Settings that cannot be framed (a hop or frame size of 0, a frame size
// FFTW cannot plan) give an analyser that yields no frames.
//
// Threading: one analyser belongs to one job on one thread. Analysers of
// different jobs may be built, used and destroyed on different threads at
// the same time (FFTW's planner is made thread-safe by the FFT wrapper).
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
  // both rounded to whole samples (halves away from zero) and clamped to the
  // track; a negative or NaN start reads as 0, a negative or NaN length as
  // 0. Fewer samples than one frame give no frames, as does a moved-from
  // analyser. Never fails; frames come in increasing `time`.
  std::vector<FrameFeatures> frames(const AudioBuffer& audio, double span_start, double span_length,
                                    float low_split_hz, float high_split_hz);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace segue
