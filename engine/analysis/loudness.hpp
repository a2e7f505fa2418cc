// measure_loudness: the EBU R128 integrated loudness of a stretch of a track.
#pragma once

#include "engine/audio/buffer.hpp"
#include "engine/error.hpp"

namespace segue {

// The integrated (gated) loudness in LUFS of [start, start + length) seconds
// of `audio`, or, when the meter yields none above -70 (silence, a stretch
// shorter than one 400 ms gating block), the RMS level in dBFS; never below
// -70. An empty span reads -70 without a meter. A meter that cannot be
// created or fails is EngineError::dsp("loudness meter: ...").
Result<float> measure_loudness(const AudioBuffer& audio, double start_seconds, double length_seconds);

}  // namespace segue
