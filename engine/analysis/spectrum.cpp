#include "engine/analysis/spectrum.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "engine/analysis/fft.hpp"
#include "engine/analysis/sample_span.hpp"
#include "engine/numeric.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace segue {
namespace {

// Frames are analysed in groups of this many. Every per-frame sum is a long
// chain of dependent additions in a fixed order; running the chains of
// neighbouring frames side by side lets them overlap in the processor
// without reordering any one of them. A group's mono samples also stay in
// cache from mixdown to level. Results are those of one frame at a time.
constexpr std::size_t kGroup = 8;

double square(float x) {
  const double wide = static_cast<double>(x);
  return wide * wide;
}

// max(x, 0) with NaN giving 0, as fmax has it. Done with a mask because
// compilers turn the plain comparison into a branch, which the random sign
// of a spectral change mispredicts about every other bin.
float positive_part(float x) {
  const std::uint32_t keep = 0u - static_cast<std::uint32_t>(x > 0.0f);
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) & keep);
}

// One frame's spectral sums, all 32-bit and in bin order.
struct FrameSums {
  float low = 0.0f;
  float mid = 0.0f;
  float high = 0.0f;
  float total = 0.0f;
  float weighted = 0.0f;  // sum of bin frequency times magnitude
  float rise = 0.0f;      // sum of the positive magnitude changes
};

// Adds bins [from, to) of N frames to their `band` and whole-spectrum sums.
template <std::size_t N>
void accumulate(FrameSums* sums, const std::array<const float*, N>& current,
                const std::array<const float*, N>& previous, const float* bin_frequency, std::size_t from,
                std::size_t to, float FrameSums::*band) {
  std::array<float, N> band_sum, total, weighted, rise;
  for (std::size_t n = 0; n < N; ++n) {
    band_sum[n] = sums[n].*band;
    total[n] = sums[n].total;
    weighted[n] = sums[n].weighted;
    rise[n] = sums[n].rise;
  }
  for (std::size_t b = from; b < to; ++b) {
    for (std::size_t n = 0; n < N; ++n) {
      const float m = current[n][b];
      band_sum[n] += m;
      total[n] += m;
      weighted[n] += bin_frequency[b] * m;
      rise[n] += positive_part(m - previous[n][b]);
    }
  }
  for (std::size_t n = 0; n < N; ++n) {
    sums[n].*band = band_sum[n];
    sums[n].total = total[n];
    sums[n].weighted = weighted[n];
    sums[n].rise = rise[n];
  }
}

template <std::size_t N>
void sum_bins(FrameSums* sums, const std::array<const float*, N>& current,
              const std::array<const float*, N>& previous, const float* bin_frequency, std::size_t low_edge,
              std::size_t high_edge, std::size_t bins) {
  accumulate<N>(sums, current, previous, bin_frequency, 0, low_edge, &FrameSums::low);
  accumulate<N>(sums, current, previous, bin_frequency, low_edge, high_edge, &FrameSums::mid);
  accumulate<N>(sums, current, previous, bin_frequency, high_edge, bins, &FrameSums::high);
}

#if defined(__SSE2__)
// sum_bins for a whole group of four frames with one frame per vector lane:
// each lane is still one frame's sums, added in bin order, and maxps gives
// exactly positive_part (NaN and -0 give +0). `frames[0]` is the frame before
// the group, `frames[1]` to `frames[4]` the group's own.
void sum_bins_four(FrameSums* sums, const std::array<const float*, 5>& frames, const float* bin_frequency,
                   std::size_t low_edge, std::size_t high_edge, std::size_t bins) {
  const __m128 zero = _mm_setzero_ps();
  __m128 total = zero;
  __m128 weighted = zero;
  __m128 rise = zero;
  __m128 band_sums[3];
  const std::array<std::size_t, 4> edges = {0, low_edge, high_edge, bins};
  const float* before = frames[0];

  for (std::size_t range = 0; range < 3; ++range) {
    __m128 band = zero;
    const auto step = [&](__m128 magnitude, __m128 previous, float frequency) {
      band = _mm_add_ps(band, magnitude);
      total = _mm_add_ps(total, magnitude);
      weighted = _mm_add_ps(weighted, _mm_mul_ps(_mm_set1_ps(frequency), magnitude));
      rise = _mm_add_ps(rise, _mm_max_ps(_mm_sub_ps(magnitude, previous), zero));
    };
    // Lanes of a bin's previous magnitudes: the frame before each lane's.
    const auto shifted = [](__m128 magnitude, const float* before_bin) {
      return _mm_move_ss(_mm_shuffle_ps(magnitude, magnitude, _MM_SHUFFLE(2, 1, 0, 0)), _mm_load_ss(before_bin));
    };
    std::size_t b = edges[range];
    const std::size_t to = edges[range + 1];
    for (; b + 4 <= to; b += 4) {
      // Rows are frames, columns bins; transposed, each vector is one bin.
      __m128 bin0 = _mm_loadu_ps(frames[1] + b);
      __m128 bin1 = _mm_loadu_ps(frames[2] + b);
      __m128 bin2 = _mm_loadu_ps(frames[3] + b);
      __m128 bin3 = _mm_loadu_ps(frames[4] + b);
      _MM_TRANSPOSE4_PS(bin0, bin1, bin2, bin3);
      step(bin0, shifted(bin0, before + b), bin_frequency[b]);
      step(bin1, shifted(bin1, before + b + 1), bin_frequency[b + 1]);
      step(bin2, shifted(bin2, before + b + 2), bin_frequency[b + 2]);
      step(bin3, shifted(bin3, before + b + 3), bin_frequency[b + 3]);
    }
    for (; b < to; ++b) {
      const __m128 magnitude = _mm_setr_ps(frames[1][b], frames[2][b], frames[3][b], frames[4][b]);
      step(magnitude, shifted(magnitude, before + b), bin_frequency[b]);
    }
    band_sums[range] = band;
  }

  std::array<float, 4> low, mid, high, total_lanes, weighted_lanes, rise_lanes;
  _mm_storeu_ps(low.data(), band_sums[0]);
  _mm_storeu_ps(mid.data(), band_sums[1]);
  _mm_storeu_ps(high.data(), band_sums[2]);
  _mm_storeu_ps(total_lanes.data(), total);
  _mm_storeu_ps(weighted_lanes.data(), weighted);
  _mm_storeu_ps(rise_lanes.data(), rise);
  for (std::size_t n = 0; n < 4; ++n) {
    sums[n] = {low[n], mid[n], high[n], total_lanes[n], weighted_lanes[n], rise_lanes[n]};
  }
}
#endif

// Sum of squares of each of N frames, in 64-bit, each in sample order.
template <std::size_t N>
void sum_squares(const std::array<const float*, N>& frames, std::size_t frame_size, double* out) {
  std::array<double, N> sum{};
  for (std::size_t i = 0; i < frame_size; ++i) {
    for (std::size_t n = 0; n < N; ++n) sum[n] += square(frames[n][i]);
  }
  for (std::size_t n = 0; n < N; ++n) out[n] = sum[n];
}

}  // namespace

struct SpectralAnalyzer::State {
  std::size_t frame_size = 0;
  std::size_t hop_size = 0;
  std::vector<float> window;
  std::optional<RealFft> fft;  // absent when the settings cannot be framed
  // The mono mixdown of the current group's samples only: mixing is done
  // sample by sample, so mixing just ahead of the frames gives the same
  // values as mixing the whole span first, without a span-long buffer.
  std::vector<float> mono;
  // Slot 0 holds the magnitudes of the frame before the group, slots 1 ...
  // kGroup those of the group's frames.
  std::array<std::vector<float>, kGroup + 1> magnitude;
  std::vector<float> bin_frequency;  // b * bin_hz, for the centroid
};

SpectralAnalyzer::SpectralAnalyzer(const AnalysisSettings& settings) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.frame_size = static_cast<std::size_t>(settings.frame_size);
  s.hop_size = static_cast<std::size_t>(settings.hop_size);
  // A zero hop would never advance. Such settings (and sizes FFTW cannot
  // plan) leave the analyser without a transform: it then yields no frames
  // rather than looping or reading out of bounds.
  if (s.hop_size == 0) return;
  auto fft = RealFft::create(s.frame_size);
  if (!fft) return;
  s.fft = std::move(*fft);

  s.window.resize(s.frame_size);
  // Periodic Hann, the angle in 32-bit exactly as written: i * 2pi * (1 / n).
  const float inverse_size = 1.0f / static_cast<float>(s.frame_size);
  for (std::size_t i = 0; i < s.frame_size; ++i) {
    const float angle = static_cast<float>(i) * 6.2831855f * inverse_size;
    s.window[i] = 0.5f - 0.5f * std::cos(angle);
  }
  const std::size_t bins = s.fft->bins();
  for (auto& slot : s.magnitude) slot.assign(bins, 0.0f);
  s.bin_frequency.assign(bins, 0.0f);
}

SpectralAnalyzer::~SpectralAnalyzer() = default;
SpectralAnalyzer::SpectralAnalyzer(SpectralAnalyzer&&) noexcept = default;
SpectralAnalyzer& SpectralAnalyzer::operator=(SpectralAnalyzer&&) noexcept = default;

std::vector<FrameFeatures> SpectralAnalyzer::frames(const AudioBuffer& audio, double span_start, double span_length,
                                                    float low_split_hz, float high_split_hz) {
  std::vector<FrameFeatures> out;
  if (!state_ || !state_->fft) return out;
  State& s = *state_;

  const std::uint32_t sr = audio.sample_rate();
  const auto [first, count] = sample_span(audio, span_start, span_length);
  const double rate = static_cast<double>(sr);
  const double span_start_seconds = static_cast<double>(first) / rate;

  const std::size_t frame_size = s.frame_size;
  const std::size_t hop = s.hop_size;
  if (count < frame_size) return out;

  const std::size_t bins = s.fft->bins();
  const float bin_hz = static_cast<float>(sr) / static_cast<float>(frame_size);
  std::size_t low_edge = 0;
  std::size_t high_edge = 0;
  if (bin_hz > 0.0f) {
    low_edge = std::min(round_to_unsigned<std::size_t>(low_split_hz / bin_hz), bins);
    high_edge = std::max(low_edge, std::min(round_to_unsigned<std::size_t>(high_split_hz / bin_hz), bins));
  }
  for (std::size_t b = 0; b < bins; ++b) s.bin_frequency[b] = static_cast<float>(b) * bin_hz;

  const std::size_t frame_count = (count - frame_size) / hop + 1;
  out.reserve(frame_count);
  // Within the span by construction: (frames - 1) * hop + frame_size <= count.
  const std::size_t block_size = (std::min(kGroup, frame_count) - 1) * hop + frame_size;
  if (s.mono.size() < block_size) s.mono.resize(block_size);
  std::fill(s.magnitude[0].begin(), s.magnitude[0].end(), 0.0f);  // no frame before the first

  const std::size_t channels = audio.channel_count();
  const float channel_weight = 1.0f / static_cast<float>(channels);
  const float* window = s.window.data();
  float* input = s.fft->input().data();
  float* mono = s.mono.data();
  const float bin_count = static_cast<float>(bins);

  // Span-relative sample range held in `mono`.
  std::size_t held_begin = 0;
  std::size_t held_end = 0;

  for (std::size_t k0 = 0; k0 < frame_count; k0 += kGroup) {
    const std::size_t group = std::min(kGroup, frame_count - k0);
    const std::size_t begin = k0 * hop;
    const std::size_t end = begin + (group - 1) * hop + frame_size;

    // Keep what the previous group already mixed, mix the rest: for each
    // sample 0 plus every channel's share, in channel order, in 32-bit.
    std::size_t mix_from = begin;
    if (held_end > begin) {
      std::memmove(mono, mono + (begin - held_begin), (held_end - begin) * sizeof(float));
      mix_from = held_end;
    }
    float* target = mono + (mix_from - begin);
    const std::size_t fresh = end - mix_from;
    for (std::size_t c = 0; c < channels; ++c) {
      const float* x = audio.channel(c).data() + first + mix_from;
      if (c == 0) {
        for (std::size_t j = 0; j < fresh; ++j) target[j] = 0.0f + x[j] * channel_weight;
      } else {
        for (std::size_t j = 0; j < fresh; ++j) target[j] = target[j] + x[j] * channel_weight;
      }
    }
    held_begin = begin;
    held_end = end;

    for (std::size_t j = 0; j < group; ++j) {
      const float* frame = mono + j * hop;
      for (std::size_t i = 0; i < frame_size; ++i) input[i] = frame[i] * window[i];
      s.fft->forward();
      s.fft->magnitudes(s.magnitude[j + 1]);
    }

    std::array<FrameSums, kGroup> sums{};
    std::array<double, kGroup> energy{};
    std::size_t j = 0;
#if defined(__SSE2__)
    for (; j + 4 <= group; j += 4) {
      sum_bins_four(sums.data() + j,
                    {s.magnitude[j].data(), s.magnitude[j + 1].data(), s.magnitude[j + 2].data(),
                     s.magnitude[j + 3].data(), s.magnitude[j + 4].data()},
                    s.bin_frequency.data(), low_edge, high_edge, bins);
    }
#endif
    for (; j + 2 <= group; j += 2) {
      sum_bins<2>(sums.data() + j, {s.magnitude[j + 1].data(), s.magnitude[j + 2].data()},
                  {s.magnitude[j].data(), s.magnitude[j + 1].data()}, s.bin_frequency.data(), low_edge, high_edge,
                  bins);
    }
    if (j < group) {
      sum_bins<1>(sums.data() + j, {s.magnitude[j + 1].data()}, {s.magnitude[j].data()}, s.bin_frequency.data(),
                  low_edge, high_edge, bins);
    }
    if (group == kGroup) {
      std::array<const float*, kGroup> starts;
      for (j = 0; j < kGroup; ++j) starts[j] = mono + j * hop;
      sum_squares<kGroup>(starts, frame_size, energy.data());
    } else {
      for (j = 0; j < group; ++j) sum_squares<1>({mono + j * hop}, frame_size, energy.data() + j);
    }

    for (j = 0; j < group; ++j) {
      const std::size_t k = k0 + j;
      FrameFeatures f;
      f.time = (static_cast<double>(k * hop) + 0.5 * static_cast<double>(frame_size)) / rate + span_start_seconds;
      f.rms = static_cast<float>(std::sqrt(energy[j] / static_cast<double>(frame_size)));
      f.low = sums[j].low;
      f.mid = sums[j].mid;
      f.high = sums[j].high;
      f.centroid_hz = sums[j].total > kFloatEpsilon ? sums[j].weighted / sums[j].total : 0.0f;
      f.flux = sums[j].rise / bin_count;
      out.push_back(f);
    }
    // The group's last frame is the next group's previous frame.
    std::swap(s.magnitude[0], s.magnitude[group]);
  }
  return out;
}

}  // namespace segue
