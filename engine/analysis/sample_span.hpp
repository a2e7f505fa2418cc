#pragma once

// The frames of an audio buffer that a span in seconds covers, as the
// spectral analysis and the loudness reading both take them: the start is
// rounded to the nearest frame (a negative or NaN start reads as frame 0)
// and clamped to the buffer, the length is rounded likewise (a negative or
// NaN length reads as 0) and cut at the buffer's end. 64-bit arithmetic;
// never fails, allocates nothing.

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "engine/audio/buffer.hpp"
#include "engine/numeric.hpp"

namespace segue {

struct SampleSpan {
  std::size_t first = 0;
  std::size_t count = 0;
};

inline SampleSpan sample_span(const AudioBuffer& audio, double start_seconds, double length_seconds) {
  const double rate = static_cast<double>(audio.sample_rate());
  const std::size_t total = audio.frame_count();
  const std::size_t first = std::min(round_to_unsigned<std::size_t>(start_seconds * rate), total);
  const std::size_t count =
      std::min(round_to_unsigned<std::size_t>(std::fmax(length_seconds, 0.0) * rate), total - first);
  return {first, count};
}

}  // namespace segue
