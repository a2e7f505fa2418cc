#include "engine/audio/buffer.hpp"

#include <algorithm>
#include <string>

namespace segue {

Result<AudioBuffer> AudioBuffer::create(std::vector<Channel> channels, std::uint32_t sample_rate) {
  if (channels.empty()) return std::unexpected(EngineError::invalid_audio("buffer needs at least one channel"));
  if (sample_rate == 0) return std::unexpected(EngineError::invalid_audio("sample rate must be non-zero"));
  const std::size_t frames = channels.front().size();
  for (const Channel& channel : channels) {
    if (channel.size() != frames) return std::unexpected(EngineError::invalid_audio("channels differ in length"));
  }
  return AudioBuffer(std::move(channels), sample_rate);
}

Result<AudioBuffer> AudioBuffer::silent(std::size_t channels, std::size_t frames, std::uint32_t sample_rate) {
  return create(std::vector<Channel>(channels, Channel(frames, 0.0f)), sample_rate);
}

Result<AudioBuffer> AudioBuffer::from_interleaved(std::span<const float> samples, std::size_t channels,
                                                  std::uint32_t sample_rate) {
  if (channels == 0) return std::unexpected(EngineError::invalid_audio("channel count must be non-zero"));
  if (samples.size() % channels != 0) {
    return std::unexpected(EngineError::invalid_audio("interleaved length " + std::to_string(samples.size()) +
                                                      " is not divisible by " + std::to_string(channels) +
                                                      " channels"));
  }
  const std::size_t frames = samples.size() / channels;
  std::vector<Channel> planar(channels);
  for (Channel& channel : planar) channel.reserve(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t c = 0; c < channels; ++c) planar[c].push_back(samples[f * channels + c]);
  }
  return create(std::move(planar), sample_rate);
}

AudioBuffer AudioBuffer::slice_padded(std::size_t start, std::size_t frames) const {
  std::vector<Channel> out;
  out.reserve(channels_.size());
  for (const Channel& source : channels_) {
    Channel channel(frames, 0.0f);
    if (start < source.size()) {
      const std::size_t count = std::min(frames, source.size() - start);
      std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(start), count, channel.begin());
    }
    out.push_back(std::move(channel));
  }
  return AudioBuffer(std::move(out), sample_rate_);
}

Result<AudioBuffer> AudioBuffer::remap_channels(std::size_t target) const {
  const std::size_t source_count = channels_.size();
  if (target == source_count) return *this;
  if (target == 0) return std::unexpected(EngineError::invalid_audio("channel count must be non-zero"));
  if (source_count == 1) return create(std::vector<Channel>(target, channels_.front()), sample_rate_);
  if (target == 1) {
    Channel mono(frame_count(), 0.0f);
    const float factor = 1.0f / static_cast<float>(source_count);
    for (const Channel& channel : channels_) {
      const std::size_t n = std::min(channel.size(), mono.size());
      for (std::size_t f = 0; f < n; ++f) mono[f] = channel[f] * factor + mono[f];
    }
    std::vector<Channel> out;
    out.push_back(std::move(mono));
    return create(std::move(out), sample_rate_);
  }
  return std::unexpected(EngineError::invalid_audio("cannot map " + std::to_string(source_count) +
                                                    " channels onto " + std::to_string(target)));
}

}  // namespace segue
