// measure_loudness: the EBU R128 integrated loudness of a stretch of a track.
#pragma once

#include "engine/audio/buffer.hpp"
#include "engine/error.hpp"

namespace segue {

// The integrated (gated, BS.1770 K-weighted, the meter's default channel
// weighting) loudness in LUFS of the stretch that starts at `start_seconds`
// and lasts `length_seconds` of `audio`, as a 32-bit value.
//
// Span: first = round(start x rate) (a start <= 0 or NaN gives 0), clamped
// to the frame count; count = round(max(length, 0) x rate), clamped to what
// is left. An empty span (zero length, or a start at or past the end) reads
// -70 without creating a meter.
//
// When the meter yields no loudness above -70 (silence, which the absolute
// gate removes entirely, or a stretch shorter than one 400 ms gating block)
// the reading is the RMS level in dBFS over the span: per channel in 64-bit,
// combined across channels in 32-bit. The reading is never below -70.
//
// Errors: EngineError::dsp("loudness meter: ...") when the meter cannot be
// created for the buffer's channel count and rate ("cannot create a meter
// for 65 channels at 48000 Hz"; libebur128 takes 1 to 64 channels at 16 Hz
// to 2.8224 MHz) or fails while measuring (its error code's meaning).
//
// Allocates the meter and an interleaving scratch of at most 4096 frames;
// `audio` is only read. Safe to call from several threads on separate or
// shared buffers: no state outlives the call.
Result<float> measure_loudness(const AudioBuffer& audio, double start_seconds, double length_seconds);

}  // namespace segue
