#include "engine/dsp/filters.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "engine/format.hpp"
#include "engine/numeric.hpp"

namespace segue {
namespace {

// Below 10 Hz a sweep does nothing audible, and above 0.45 fs the cookbook
// designs crowd the Nyquist limit where their response warps badly.
constexpr float kMinCutoffHz = 10.0f;
constexpr float kMaxCutoffShare = 0.45f;

std::string invalid_frequency(float hz) {
  return "invalid frequency " + format_number(hz) + ": " +
         std::string(filter_design_error_name(FilterDesignError::NegativeFrequency));
}

BiquadCoefficients normalised(float a0, float a1, float a2, float b0, float b1, float b2) {
  return {a1 / a0, a2 / a0, b0 / a0, b1 / a0, b2 / a0};
}

// The cutoff of one block: the lane's automation, warped towards it from
// its value at t = 0 by the running progress.
float warp(float c0, float f, float progress) {
  if (c0 > 0.0f && f > 0.0f) return c0 * std::pow(f / c0, progress);
  return c0 + (f - c0) * progress;
}

}  // namespace

std::string_view filter_design_error_name(FilterDesignError error) {
  switch (error) {
    case FilterDesignError::OutsideNyquist:
      return "OutsideNyquist";
    case FilterDesignError::NegativeQ:
      return "NegativeQ";
    case FilterDesignError::NegativeFrequency:
      return "NegativeFrequency";
  }
  return "UnknownFilterDesignError";
}

std::expected<BiquadCoefficients, FilterDesignError> design_biquad(FilterKind kind, float gain_db,
                                                                   float sample_rate, float frequency, float q) {
  if (!(frequency > 0.0f)) return std::unexpected(FilterDesignError::NegativeFrequency);
  const float nyquist = sample_rate / 2.0f;
  // Written so that a NaN or non-positive rate fails too: no frequency lies
  // below the Nyquist limit of such a rate.
  if (!(sample_rate > 0.0f) || !(frequency / nyquist < 1.0f)) {
    return std::unexpected(FilterDesignError::OutsideNyquist);
  }
  if (!(q > 0.0f)) return std::unexpected(FilterDesignError::NegativeQ);

  const float omega = std::numbers::pi_v<float> * frequency / nyquist;
  const float c = std::cos(omega);
  const float s = std::sin(omega);
  const float alpha = s / (2.0f * q);
  const float a = std::pow(10.0f, gain_db / 40.0f);

  // Robert Bristow-Johnson's Audio EQ Cookbook.
  switch (kind) {
    case FilterKind::LowPass:
      return normalised(1.0f + alpha, -2.0f * c, 1.0f - alpha, (1.0f - c) / 2.0f, 1.0f - c, (1.0f - c) / 2.0f);
    case FilterKind::HighPass:
      return normalised(1.0f + alpha, -2.0f * c, 1.0f - alpha, (1.0f + c) / 2.0f, -(1.0f + c), (1.0f + c) / 2.0f);
    case FilterKind::LowShelf: {
      const float shelf = 2.0f * std::sqrt(a) * alpha;
      return normalised((a + 1.0f) + (a - 1.0f) * c + shelf, -2.0f * ((a - 1.0f) + (a + 1.0f) * c),
                        (a + 1.0f) + (a - 1.0f) * c - shelf, a * ((a + 1.0f) - (a - 1.0f) * c + shelf),
                        2.0f * a * ((a - 1.0f) - (a + 1.0f) * c), a * ((a + 1.0f) - (a - 1.0f) * c - shelf));
    }
    case FilterKind::HighShelf: {
      const float shelf = 2.0f * std::sqrt(a) * alpha;
      return normalised((a + 1.0f) - (a - 1.0f) * c + shelf, 2.0f * ((a - 1.0f) - (a + 1.0f) * c),
                        (a + 1.0f) - (a - 1.0f) * c - shelf, a * ((a + 1.0f) + (a - 1.0f) * c + shelf),
                        -2.0f * a * ((a - 1.0f) + (a + 1.0f) * c), a * ((a + 1.0f) + (a - 1.0f) * c - shelf));
    }
    case FilterKind::Peaking:
      return normalised(1.0f + alpha / a, -2.0f * c, 1.0f - alpha / a, 1.0f + alpha * a, -2.0f * c,
                        1.0f - alpha * a);
  }
  // An unknown kind: there is no design to give, and passing the signal
  // through unchanged (the default coefficients) is the harmless reading.
  return BiquadCoefficients{};
}

Status apply_filter_lanes(AudioBuffer& buffer, std::span<const FilterLane> lanes, std::size_t block_frames) {
  if (lanes.empty()) return {};

  const std::size_t block = std::max<std::size_t>(block_frames, 1);
  const std::size_t frames = buffer.frame_count();
  const auto fs = static_cast<float>(buffer.sample_rate());
  const float max_cutoff = kMaxCutoffShare * fs;
  // t runs from 0 at the first frame to 1 at the last; one frame sits at 0.
  const auto last_frame = static_cast<float>(frames > 1 ? frames - 1 : 1);
  const std::size_t blocks = frames / block + (frames % block != 0 ? 1 : 0);

  std::vector<BiquadCoefficients> coefficients;
  for (const FilterLane& lane : lanes) {
    // Checked before anything else, so a bad lane is refused even when
    // there is nothing to filter. NaN is not positive either.
    if (!(lane.q > 0.0f)) return std::unexpected(EngineError::dsp("filter Q must be positive"));
    if (frames == 0) continue;
    if (fs == 0.0f) return std::unexpected(EngineError::dsp(invalid_frequency(fs)));

    const std::span<const AutomationPoint> cutoff = lane.cutoff.points;
    const float c0 = value_at(cutoff, segment_index(cutoff, 0.0f), 0.0f);
    AutomationCursor cutoff_cursor(cutoff);
    std::optional<AutomationCursor> progress_cursor;
    if (lane.progress) progress_cursor.emplace(lane.progress->points);
    float progress = 0.0f;

    // Every design first, so a failing lane leaves the buffer as the
    // previous lane left it.
    coefficients.clear();
    coefficients.reserve(blocks);
    for (std::size_t k = 0; k < blocks; ++k) {
      const float t = static_cast<float>(k * block) / last_frame;
      float f = cutoff_cursor.advance(t);
      if (progress_cursor) {
        // A running maximum: a progress curve that falls back never reopens
        // the filter. fmax keeps the maximum when p is NaN.
        progress = std::fmax(progress, clamp(progress_cursor->advance(t), 0.0f, 1.0f));
        f = warp(c0, f, progress);
      }
      const float f0 = clamp(f, kMinCutoffHz, max_cutoff);
      if (!(f0 > 0.0f)) return std::unexpected(EngineError::dsp(invalid_frequency(f0)));
      const auto design = design_biquad(lane.kind, lane.gain_db, fs, f0, lane.q);
      if (!design) {
        return std::unexpected(
            EngineError::dsp("biquad coefficients: " + std::string(filter_design_error_name(design.error()))));
      }
      coefficients.push_back(*design);
    }

    // Transposed direct form II; the state runs on across block boundaries
    // so a sweep changes the filter without a click.
    for (std::size_t ch = 0; ch < buffer.channel_count(); ++ch) {
      const std::span<float> samples = buffer.channel(ch);
      float s1 = 0.0f;
      float s2 = 0.0f;
      for (std::size_t k = 0; k < blocks; ++k) {
        const BiquadCoefficients& b = coefficients[k];
        // k * block < frames, so (k + 1) * block cannot overflow.
        const std::size_t end = std::min(samples.size(), (k + 1) * block);
        for (std::size_t i = k * block; i < end; ++i) {
          const float x = samples[i];
          const float y = b.b0 * x + s1;
          s1 = b.b1 * x - b.a1 * y + s2;
          s2 = b.b2 * x - b.a2 * y;
          samples[i] = y;
        }
      }
    }
  }
  return {};
}

}  // namespace segue
