#include "engine/dsp/conditioning.hpp"

#include <cmath>

#include "engine/dsp/resampler.hpp"
#include "engine/format.hpp"
#include "engine/numeric.hpp"

namespace segue {

Result<ConditionedTrack> condition_track(TimeStretcher& stretcher, const AudioBuffer& track,
                                         const ConditioningRequest& request) {
  // A deviation of 0.0001 is a drift of 0.4 ms over a 4-second overlap:
  // inaudible, and not worth the processor's smearing. A NaN transpose
  // counts as a transpose and is left for the stretcher to refuse.
  const float ratio = request.tempo_ratio;
  const bool wants_stretch = std::fabs(ratio - 1.0f) > 0.0001f || request.pitch_semitones != 0.0f;
  const bool stretched = wants_stretch && request.frames >= 2 * static_cast<std::uint64_t>(stretcher.output_latency());
  const double source_seconds =
      stretched ? request.duration_seconds * static_cast<double>(ratio) : request.duration_seconds;

  // An endless overlap would ask for a region and an output of 2^64 frames.
  if (!std::isfinite(request.duration_seconds)) {
    return std::unexpected(EngineError::unsupported_configuration("overlap duration must be finite, got " +
                                                                  format_number(request.duration_seconds)));
  }
  // A stretch the processor would refuse anyway is refused before the cut:
  // an extreme ratio would otherwise ask for a region of up to 2^64 frames.
  if (stretched && ratio > static_cast<float>(TimeStretcher::kMaxStretchFactor)) {
    return std::unexpected(TimeStretcher::block_size_refusal());
  }

  const double source_rate = static_cast<double>(track.sample_rate());
  const std::uint64_t start_frame =
      request.start_seconds > 0.0 ? round_to_unsigned<std::uint64_t>(request.start_seconds * source_rate) : 0;
  const std::uint64_t span_frames = round_to_unsigned<std::uint64_t>(std::fmax(source_seconds, 0.0) * source_rate);
  AudioBuffer region = track.slice_padded(start_frame, span_frames);

  if (region.sample_rate() != request.sample_rate) {
    auto converted = resample(std::move(region), request.sample_rate);
    if (!converted) return std::unexpected(std::move(converted).error());
    region = std::move(*converted);
  }

  if (region.channel_count() != request.channels) {
    auto mapped = region.remap_channels(request.channels);
    if (!mapped) return std::unexpected(std::move(mapped).error());
    region = std::move(*mapped);
  }

  if (stretched) {
    auto audio = stretcher.stretch(region, request.frames, request.pitch_semitones);
    if (!audio) return std::unexpected(std::move(audio).error());
    return ConditionedTrack{std::move(*audio), source_seconds};
  }
  if (region.frame_count() == request.frames) return ConditionedTrack{std::move(region), source_seconds};
  return ConditionedTrack{region.slice_padded(0, request.frames), source_seconds};
}

}  // namespace segue
