// Tempo and rate conditioning: brings one track's overlap to the plan's
// frame count, channel count, sample rate and tempo.
//
// The region the overlap consumes is cut (zero-padded past the end of the
// source), converted to the render rate, mapped onto the render channel
// count and time-stretched to exactly the requested frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/audio/buffer.hpp"
#include "engine/dsp/stretcher.hpp"
#include "engine/error.hpp"

namespace segue {

struct ConditioningRequest {
  double start_seconds = 0.0;     // where the overlap begins in the source
  double duration_seconds = 0.0;  // overlap length in output time
  std::uint64_t frames = 0;       // output frames, round(duration x rate)
  std::uint64_t channels = 0;     // render channel count
  // Seconds of source consumed per second of output; above 1 speeds the
  // track up (1.02: 2 % faster, 1.02 s of source per output second).
  float tempo_ratio = 1.0f;
  float pitch_semitones = 0.0f;   // transpose while stretching; 0 = none
  std::uint32_t sample_rate = 0;  // render rate, Hz
};

struct ConditionedTrack {
  AudioBuffer audio;            // exactly `frames` frames, `channels` channels, at the render rate
  double source_seconds = 0.0;  // source consumed: duration x ratio when stretched, else duration
};

// Cut, convert, map and stretch one track. A track is stretched when its
// ratio differs from 1 by more than 0.0001 or it is transposed (NaN counts),
// and its output is at least twice the processor's latency; a track too
// short to stretch is rendered at its own tempo and pitch. The region is
// round(start x source rate) on, round(source_seconds x source rate) frames
// long, zeros past the end of the source; it is converted only when the
// rates differ and mapped only when the channel counts do.
//
// Errors: InvalidAudio "target sample rate must be non-zero", "channel count
// must be non-zero", "cannot map {} channels onto {}", "stretcher configured
// for {} channels at {} Hz, got {} at {}"; UnsupportedConfiguration "overlap
// duration must be finite, got {}"; Dsp "resampler construction: {}",
// "resampler input adapter: {}", "resampler: {}" and the stretcher's
// refusals (a stretched tempo ratio above 16 is refused before any cut). The
// stretcher stays usable. Allocates the region, its conversion and the
// result; a converter is created and destroyed within the call.
Result<ConditionedTrack> condition_track(TimeStretcher& stretcher, const AudioBuffer& track,
                                         const ConditioningRequest& request);

}  // namespace segue
