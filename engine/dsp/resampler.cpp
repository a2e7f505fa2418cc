#include "engine/dsp/resampler.hpp"

#include <soxr.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/numeric.hpp"

namespace segue {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

EngineError construction_error(const std::string& text) {
  return EngineError::dsp("resampler construction: " + text);
}

EngineError adapter_error(const std::string& text) { return EngineError::dsp("resampler input adapter: " + text); }

EngineError conversion_error(const std::string& text) { return EngineError::dsp("resampler: " + text); }

}  // namespace

std::uint64_t converted_frame_count(std::uint64_t input_frames, std::uint32_t source_rate,
                                    std::uint32_t target_rate) {
  // The ratio is formed first, as the converter itself does; multiplying by
  // the frames afterwards is what makes 44100 -> 48000 of 44100 frames 48001.
  const double ratio = static_cast<double>(target_rate) / static_cast<double>(source_rate);
  return saturating_cast<std::uint64_t>(std::ceil(static_cast<double>(input_frames) * ratio));
}

void SampleRateConverter::Release::operator()(soxr* handle) const { soxr_delete(handle); }

SampleRateConverter::SampleRateConverter(soxr* handle, std::uint32_t source_rate, std::uint32_t target_rate,
                                         std::size_t channels)
    : handle_(handle), source_rate_(source_rate), target_rate_(target_rate), channels_(channels) {}

SampleRateConverter::SampleRateConverter(SampleRateConverter&&) noexcept = default;
SampleRateConverter& SampleRateConverter::operator=(SampleRateConverter&&) noexcept = default;
SampleRateConverter::~SampleRateConverter() = default;

Result<SampleRateConverter> SampleRateConverter::create(std::uint32_t source_rate, std::uint32_t target_rate,
                                                        std::size_t channels) {
  // libsoxr takes 0 for "set later" rather than refusing it, so these two
  // are checked here.
  if (source_rate == 0 || target_rate == 0) return std::unexpected(construction_error("sample rates must be non-zero"));
  if (channels == 0 || channels > UINT_MAX) {
    return std::unexpected(construction_error("cannot convert " + std::to_string(channels) + " channels"));
  }
  // Planar in (the buffer's own channels, no copy), interleaved out (one
  // list the caller sizes once). One thread: the job already runs on a
  // worker of its own.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_t handle = soxr_create(static_cast<double>(source_rate), static_cast<double>(target_rate),
                              static_cast<unsigned>(channels), &error, &io, &quality, &runtime);
  if (error != nullptr || handle == nullptr) {
    if (handle != nullptr) soxr_delete(handle);
    return std::unexpected(construction_error(error != nullptr ? error : "the converter could not be created"));
  }
  return SampleRateConverter(handle, source_rate, target_rate, channels);
}

std::uint64_t SampleRateConverter::output_capacity(std::uint64_t input_frames) const {
  // libsoxr starts with no delay to report (it discards its own filter delay
  // from the output), so the room needed beyond the expected length is what
  // one chunk can produce, plus a frame for rounding.
  const std::uint64_t per_chunk = converted_frame_count(kChunkFrames, source_rate_, target_rate_);
  return saturating_add(saturating_add(converted_frame_count(input_frames, source_rate_, target_rate_), per_chunk),
                        1);
}

Result<std::size_t> SampleRateConverter::convert(std::span<const std::span<const float>> input,
                                                 std::span<float> output) {
  if (input.size() != channels_) {
    return std::unexpected(adapter_error("expected " + std::to_string(channels_) + " channels, got " +
                                         std::to_string(input.size())));
  }
  const std::size_t frames = input.front().size();
  for (std::size_t c = 1; c < input.size(); ++c) {
    if (input[c].size() < frames) {
      return std::unexpected(adapter_error("channel " + std::to_string(c) + " has " +
                                           std::to_string(input[c].size()) + " frames, fewer than the first's " +
                                           std::to_string(frames)));
    }
  }
  if (output.size() % channels_ != 0) {
    return std::unexpected(conversion_error("output of " + std::to_string(output.size()) +
                                            " samples is not a whole number of " + std::to_string(channels_) +
                                            "-channel frames"));
  }

  const std::size_t capacity = output.size() / channels_;
  std::vector<const float*> chunk(channels_);
  std::size_t consumed = 0;
  std::size_t produced = 0;
  while (consumed < frames && produced < capacity) {
    const std::size_t length = std::min(kChunkFrames, frames - consumed);
    for (std::size_t c = 0; c < channels_; ++c) chunk[c] = input[c].data() + consumed;
    std::size_t used = 0;
    std::size_t written = 0;
    if (soxr_error_t error = soxr_process(handle_.get(), chunk.data(), length, &used, output.data() + produced * channels_,
                                          capacity - produced, &written)) {
      return std::unexpected(conversion_error(error));
    }
    consumed += used;
    produced += written;
    // With room left the converter always takes its input; a stall here
    // would otherwise end the stream early and silently drop the rest.
    if (used == 0 && written == 0) return std::unexpected(conversion_error("the converter stopped taking input"));
  }
  // A null input marks the end: the converter pads the tail of its filter
  // and releases the frames still held back.
  while (produced < capacity) {
    std::size_t written = 0;
    if (soxr_error_t error = soxr_process(handle_.get(), nullptr, 0, nullptr, output.data() + produced * channels_,
                                          capacity - produced, &written)) {
      return std::unexpected(conversion_error(error));
    }
    if (written == 0) break;
    produced += written;
  }
  return produced;
}

Result<AudioBuffer> resample(AudioBuffer region, std::uint32_t target_rate) {
  if (region.sample_rate() == target_rate) return region;
  if (target_rate == 0) return std::unexpected(EngineError::invalid_audio("target sample rate must be non-zero"));
  const std::size_t channels = region.channel_count();
  if (region.frame_count() == 0) return AudioBuffer::silent(channels, 0, target_rate);

  auto converter = SampleRateConverter::create(region.sample_rate(), target_rate, channels);
  if (!converter) return std::unexpected(std::move(converter).error());

  const std::uint64_t input_frames = region.frame_count();
  const std::uint64_t expected = converted_frame_count(input_frames, region.sample_rate(), target_rate);
  const std::uint64_t capacity = converter->output_capacity(input_frames);
  if (capacity > std::numeric_limits<std::size_t>::max() / channels) {
    return std::unexpected(conversion_error("cannot hold " + std::to_string(capacity) + " output frames of " +
                                            std::to_string(channels) + " channels"));
  }
  std::vector<float> interleaved(static_cast<std::size_t>(capacity) * channels, 0.0f);

  std::vector<std::span<const float>> planar;
  planar.reserve(channels);
  for (std::size_t c = 0; c < channels; ++c) planar.push_back(region.channel(c));
  auto written = converter->convert(planar, interleaved);
  if (!written) return std::unexpected(std::move(written).error());

  // Frames the converter did not produce stay zero: the length is the
  // contract, whatever the converter's own rounding.
  const std::size_t frames = static_cast<std::size_t>(std::min(expected, capacity));
  return AudioBuffer::from_interleaved(std::span<const float>(interleaved).first(frames * channels), channels,
                                       target_rate);
}

}  // namespace segue
