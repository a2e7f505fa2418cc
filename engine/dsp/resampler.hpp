// Fixed-ratio sample-rate conversion of a whole region (libsoxr, very high
// quality, linear phase).
//
// Contract relied on by conditioning:
//   - length: converting L input frames yields exactly
//     `converted_frame_count(L, source, target)` = ceil(L x (target / source))
//     frames, the ratio and the product in 64-bit float. Because the ratio is
//     rounded first, a product that should be whole can come out one frame
//     longer (44100 frames from 44100 Hz to 48000 Hz give 48001); the frames
//     the converter does not produce are zeros.
//   - alignment: the converter removes its own filter delay, so the first
//     output frame belongs to the instant of the first input frame (an
//     impulse at input frame 0 peaks at output frame 0).
//   - feeding: the input goes in chunks of `kChunkFrames` frames, then the
//     converter is flushed; no state survives a conversion.
//
// Errors are EngineError::dsp with the prefixes "resampler construction: ",
// "resampler input adapter: " and "resampler: ", followed by the converter's
// own text. A converter is meant to live for one conversion; after a failed
// conversion it must not be reused. Allocation: `create` allocates the
// filter tables; `convert` writes only into the caller's output. One thread
// at a time per converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/audio/buffer.hpp"
#include "engine/error.hpp"

struct soxr;  // libsoxr's handle, kept out of this header

namespace segue {

// ceil(input_frames x (target_rate / source_rate)) in 64-bit float, saturated
// into 64 bits. `source_rate` must be non-zero.
std::uint64_t converted_frame_count(std::uint64_t input_frames, std::uint32_t source_rate,
                                    std::uint32_t target_rate);

class SampleRateConverter {
 public:
  static constexpr std::size_t kChunkFrames = 1024;

  // Both rates non-zero, `channels` at least 1. Fails with
  // "resampler construction: {}".
  static Result<SampleRateConverter> create(std::uint32_t source_rate, std::uint32_t target_rate,
                                            std::size_t channels);

  SampleRateConverter(SampleRateConverter&&) noexcept;
  SampleRateConverter& operator=(SampleRateConverter&&) noexcept;
  ~SampleRateConverter();

  // Output frames a conversion of `input_frames` needs room for: the
  // expected length plus the most one chunk can add. Saturates.
  std::uint64_t output_capacity(std::uint64_t input_frames) const;

  // Converts the whole planar input (one span per channel, all as long as
  // the first) into interleaved frames in `output`, whose length is a
  // multiple of the channel count. Stops early when `output` is full.
  // Returns the frames written. Fails with "resampler input adapter: {}"
  // when the input does not match the converter's channels or a channel is
  // shorter than the first, and with "resampler: {}" when conversion fails.
  Result<std::size_t> convert(std::span<const std::span<const float>> input, std::span<float> output);

 private:
  struct Release {
    void operator()(soxr* handle) const;
  };
  SampleRateConverter(soxr* handle, std::uint32_t source_rate, std::uint32_t target_rate, std::size_t channels);

  std::unique_ptr<soxr, Release> handle_;
  std::uint32_t source_rate_;
  std::uint32_t target_rate_;
  std::size_t channels_;
};

// The whole of `region` at `target_rate`: exactly
// converted_frame_count(region frames, region rate, target_rate) frames and
// the region's channels. Neither a region already at the target rate
// (returned as it is) nor an empty one (empty channels at the target rate)
// creates a converter. Fails with InvalidAudio "target sample rate must be
// non-zero" when the rates differ and the target is 0, and with the
// converter's errors above. Allocates the interleaved output and the
// resulting channels.
Result<AudioBuffer> resample(AudioBuffer region, std::uint32_t target_rate);

}  // namespace segue
