// AudioBuffer: the engine's one representation of audio.
//
// Planar PCM: channel c is a list of 32-bit float samples; sample f of
// channel c is element f of that list. "Frames" counts per-channel sample
// positions everywhere. Every buffer satisfies, from construction on:
//   - at least one channel,
//   - a non-zero sample rate,
//   - all channels of one length (the frame count, which may be 0).
// Code that receives an AudioBuffer never re-checks these. Buffers move from
// stage to stage; the operations that derive a new buffer leave their source
// untouched. Mutable access is per channel as a span, so the invariants
// cannot be broken from outside.
//
// Errors are EngineError::invalid_audio with the messages documented below.
// Threading: a buffer is a plain value; no internal synchronisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/error.hpp"

namespace segue {

using Channel = std::vector<float>;

class AudioBuffer {
 public:
  // Adopts the lists without copying. Checks, in this order:
  // "buffer needs at least one channel", "sample rate must be non-zero",
  // "channels differ in length". On failure the lists are released.
  static Result<AudioBuffer> create(std::vector<Channel> channels, std::uint32_t sample_rate);

  // `channels` lists of `frames` zeros each, through `create`.
  static Result<AudioBuffer> silent(std::size_t channels, std::size_t frames, std::uint32_t sample_rate);

  // De-interleaves frame-major samples (frame 0 channel 0, frame 0 channel 1,
  // ...). Fails with "channel count must be non-zero" or "interleaved length
  // {} is not divisible by {} channels"; a zero rate fails in `create`.
  // Allocates once per channel.
  static Result<AudioBuffer> from_interleaved(std::span<const float> samples, std::size_t channels,
                                              std::uint32_t sample_rate);

  // Exactly `frames` frames per channel from `start` on; frames past the end
  // of this buffer are 0. Never fails.
  AudioBuffer slice_padded(std::size_t start, std::size_t frames) const;

  // The same audio on `target` channels: a copy when the count is already
  // `target`; a mono source is copied into every channel; a mono target is
  // the average of all channels, accumulated in channel order in 32-bit
  // float. Fails with "channel count must be non-zero" for 0 and "cannot map
  // {} channels onto {}" for any other pair.
  Result<AudioBuffer> remap_channels(std::size_t target) const;

  std::size_t frame_count() const { return channels_.front().size(); }
  std::size_t channel_count() const { return channels_.size(); }
  std::uint32_t sample_rate() const { return sample_rate_; }
  // Frame count divided by the sample rate, in 64-bit floating point.
  double duration_seconds() const {
    return static_cast<double>(frame_count()) / static_cast<double>(sample_rate_);
  }

  std::span<const float> channel(std::size_t index) const { return channels_[index]; }
  std::span<float> channel(std::size_t index) { return channels_[index]; }
  const std::vector<Channel>& channels() const { return channels_; }

  // Hands the sample storage over (for example to the result record).
  std::vector<Channel> release_channels() && { return std::move(channels_); }

 private:
  AudioBuffer(std::vector<Channel> channels, std::uint32_t sample_rate)
      : channels_(std::move(channels)), sample_rate_(sample_rate) {}

  std::vector<Channel> channels_;
  std::uint32_t sample_rate_;
};

}  // namespace segue
