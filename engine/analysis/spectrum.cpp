#include "engine/analysis/spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "engine/analysis/fft.hpp"
#include "engine/numeric.hpp"

namespace segue {

struct SpectralAnalyzer::State {
  std::size_t frame_size = 0;
  std::size_t hop_size = 0;
  std::vector<float> window;
  std::optional<RealFft> fft;  // absent when the settings cannot be framed
  std::vector<float> mono;
  std::vector<float> magnitude;
  std::vector<float> previous;
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
  s.magnitude.assign(bins, 0.0f);
  s.previous.assign(bins, 0.0f);
}

SpectralAnalyzer::~SpectralAnalyzer() = default;
SpectralAnalyzer::SpectralAnalyzer(SpectralAnalyzer&&) noexcept = default;
SpectralAnalyzer& SpectralAnalyzer::operator=(SpectralAnalyzer&&) noexcept = default;

std::vector<FrameFeatures> SpectralAnalyzer::frames(const AudioBuffer& audio, double span_start, double span_length,
                                                    float low_split_hz, float high_split_hz) {
  std::vector<FrameFeatures> out;
  if (!state_ || !state_->fft) return out;
  State& s = *state_;

  const std::size_t total_frames = audio.frame_count();
  const std::uint32_t sr = audio.sample_rate();
  const double rate = static_cast<double>(sr);

  std::size_t first = 0;
  if (span_start > 0.0) first = round_to_unsigned<std::size_t>(span_start * rate);
  first = std::min(first, total_frames);
  std::size_t count = round_to_unsigned<std::size_t>(std::fmax(span_length, 0.0) * rate);
  count = std::min(count, total_frames - first);
  const double span_start_seconds = static_cast<double>(first) / rate;

  const std::size_t frame_size = s.frame_size;
  const std::size_t hop = s.hop_size;
  if (count < frame_size) return out;

  // Mono mixdown, accumulated channel by channel in 32-bit.
  s.mono.assign(count, 0.0f);
  const float channel_weight = 1.0f / static_cast<float>(audio.channel_count());
  for (std::size_t c = 0; c < audio.channel_count(); ++c) {
    const float* x = audio.channel(c).data() + first;
    float* m = s.mono.data();
    for (std::size_t j = 0; j < count; ++j) m[j] = m[j] + x[j] * channel_weight;
  }

  const std::size_t bins = s.fft->bins();
  const float bin_hz = static_cast<float>(sr) / static_cast<float>(frame_size);
  std::size_t low_edge = 0;
  std::size_t high_edge = 0;
  if (bin_hz > 0.0f) {
    low_edge = std::min(round_to_unsigned<std::size_t>(low_split_hz / bin_hz), bins);
    high_edge = std::max(low_edge, std::min(round_to_unsigned<std::size_t>(high_split_hz / bin_hz), bins));
  }

  const std::size_t frame_count = (count - frame_size) / hop + 1;
  out.reserve(frame_count);
  std::fill(s.previous.begin(), s.previous.end(), 0.0f);

  const float* window = s.window.data();
  float* input = s.fft->input().data();
  const std::complex<float>* spectrum = s.fft->output().data();
  float* magnitude = s.magnitude.data();
  float* previous = s.previous.data();
  const float bin_count = static_cast<float>(bins);

  for (std::size_t k = 0; k < frame_count; ++k) {
    const float* frame = s.mono.data() + k * hop;
    for (std::size_t i = 0; i < frame_size; ++i) input[i] = frame[i] * window[i];
    s.fft->forward();
    for (std::size_t b = 0; b < bins; ++b) magnitude[b] = std::hypot(spectrum[b].real(), spectrum[b].imag());

    FrameFeatures f;
    float low = 0.0f;
    float mid = 0.0f;
    float high = 0.0f;
    for (std::size_t b = 0; b < low_edge; ++b) low += magnitude[b];
    for (std::size_t b = low_edge; b < high_edge; ++b) mid += magnitude[b];
    for (std::size_t b = high_edge; b < bins; ++b) high += magnitude[b];

    float total = 0.0f;
    float weighted = 0.0f;
    float rise = 0.0f;
    for (std::size_t b = 0; b < bins; ++b) {
      total += magnitude[b];
      weighted += static_cast<float>(b) * bin_hz * magnitude[b];
      rise += std::fmax(magnitude[b] - previous[b], 0.0f);
      previous[b] = magnitude[b];
    }

    double energy = 0.0;
    for (std::size_t i = 0; i < frame_size; ++i) {
      const double sample = static_cast<double>(frame[i]);
      energy += sample * sample;
    }

    f.time = (static_cast<double>(k * hop) + 0.5 * static_cast<double>(frame_size)) / rate + span_start_seconds;
    f.rms = static_cast<float>(std::sqrt(energy / static_cast<double>(frame_size)));
    f.low = low;
    f.mid = mid;
    f.high = high;
    f.centroid_hz = total > kFloatEpsilon ? weighted / total : 0.0f;
    f.flux = rise / bin_count;
    out.push_back(f);
  }
  return out;
}

}  // namespace segue
