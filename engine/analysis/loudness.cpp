#include "engine/analysis/loudness.hpp"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/analysis/sample_span.hpp"
#include "engine/numeric.hpp"

namespace segue {
namespace {

constexpr float kFloorLufs = -70.0f;

// The meter takes interleaved frames only (libebur128 1.2 has no planar
// entry point). A few thousand frames per block keep the scratch small even
// for many channels, instead of interleaving the whole stretch at once.
constexpr std::size_t kBlockFrames = 4096;

struct MeterDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using Meter = std::unique_ptr<ebur128_state, MeterDeleter>;

EngineError meter_error(const std::string& text) { return EngineError::dsp("loudness meter: " + text); }

// libebur128 gives no reason for a refused meter; a channel count or rate
// outside its range is by far the likeliest, so the text names both.
EngineError refused_meter(std::size_t channels, std::uint32_t rate) {
  return meter_error("cannot create a meter for " + std::to_string(channels) + " channels at " +
                     std::to_string(rate) + " Hz");
}

// libebur128 reports failures as bare codes; these are their meanings.
std::string describe_meter_code(int code) {
  switch (code) {
    case EBUR128_ERROR_NOMEM:
      return "out of memory";
    case EBUR128_ERROR_INVALID_MODE:
      return "the meter was not set up for integrated loudness";
    case EBUR128_ERROR_INVALID_CHANNEL_INDEX:
      return "invalid channel index";
    case EBUR128_ERROR_NO_CHANGE:
      return "the setting did not change";
    default:
      return "error code " + std::to_string(code);
  }
}

// The fallback when the gates leave nothing: a stretch shorter than one
// 400 ms block, or silence below the -70 LUFS absolute gate.
float rms_level_db(const AudioBuffer& audio, std::size_t first, std::size_t count) {
  const std::size_t channels = audio.channel_count();
  float energy = 0.0f;
  for (std::size_t c = 0; c < channels; ++c) {
    const std::span<const float> samples = audio.channel(c).subspan(first, count);
    double sum = 0.0;
    for (const float x : samples) sum += static_cast<double>(x) * static_cast<double>(x);
    const float rms_c = static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
    energy += rms_c * rms_c;
  }
  const float rms = std::fabs(std::sqrt(energy / static_cast<float>(channels)));
  if (rms <= 1e-9f) return kFloorLufs;
  // fmax: a NaN level (non-finite input) reads as the floor.
  return std::fmax(20.0f * std::log10(rms), kFloorLufs);
}

}  // namespace

Result<float> measure_loudness(const AudioBuffer& audio, double start_seconds, double length_seconds) {
  const auto [first, count] = sample_span(audio, start_seconds, length_seconds);
  if (count == 0) return kFloorLufs;

  const std::size_t channels = audio.channel_count();
  if (channels > std::numeric_limits<unsigned int>::max()) {
    return std::unexpected(refused_meter(channels, audio.sample_rate()));
  }
  Meter meter(ebur128_init(static_cast<unsigned int>(channels), audio.sample_rate(), EBUR128_MODE_I));
  if (!meter) return std::unexpected(refused_meter(channels, audio.sample_rate()));

  const std::size_t block = std::min(kBlockFrames, count);
  std::vector<float> interleaved(block * channels);
  for (std::size_t done = 0; done < count;) {
    const std::size_t frames = std::min(block, count - done);
    for (std::size_t c = 0; c < channels; ++c) {
      const float* source = audio.channel(c).data() + first + done;
      float* target = interleaved.data() + c;
      for (std::size_t f = 0; f < frames; ++f) target[f * channels] = source[f];
    }
    if (const int code = ebur128_add_frames_float(meter.get(), interleaved.data(), frames);
        code != EBUR128_SUCCESS) {
      return std::unexpected(meter_error(describe_meter_code(code)));
    }
    done += frames;
  }

  double integrated = 0.0;
  if (const int code = ebur128_loudness_global(meter.get(), &integrated); code != EBUR128_SUCCESS) {
    return std::unexpected(meter_error(describe_meter_code(code)));
  }
  if (std::isfinite(integrated) && integrated > static_cast<double>(kFloorLufs)) {
    return static_cast<float>(integrated);
  }
  return rms_level_db(audio, first, count);
}

}  // namespace segue
