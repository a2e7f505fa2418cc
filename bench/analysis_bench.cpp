// Track analysis cost on the stretch a job analyses with the defaults: 61 s
// of stereo at 48 kHz (about 5,700 frames of 2048 samples, hop 512).
//
//   per_frame   time of work per analysis frame (printed in us)
//   x_realtime  seconds of audio analysed per second of work (printed as a
//               rate, "/s": 1.8k/s is 1,800 times real time)
//
// The 2048-point transform alone runs as the baseline in the same run, so the
// cost around the FFT can be read off directly; the region summary runs as
// the planner calls it, two per candidate over up to 16 s of frames.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "engine/analysis/fft.hpp"
#include "engine/analysis/spectrum.hpp"
#include "engine/types/analysis.hpp"

namespace segue {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr double kSeconds = 61.0;

// Noise under a few tones with a slow level swell: every band and the flux
// have work to do, and the levels are not constant.
AudioBuffer music_like_track() {
  const auto frames = static_cast<std::size_t>(kSeconds * kRate);
  std::mt19937 rng(2024);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<Channel> channels(2, Channel(frames));
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double swell = 0.6 + 0.4 * std::sin(2.0 * std::numbers::pi * 0.1 * t);
    const double tones = 0.3 * std::sin(2.0 * std::numbers::pi * 55.0 * t) +
                         0.1 * std::sin(2.0 * std::numbers::pi * 880.0 * t) +
                         0.05 * std::sin(2.0 * std::numbers::pi * 5000.0 * t);
    channels[0][i] = static_cast<float>(swell * tones) + noise(rng);
    channels[1][i] = static_cast<float>(swell * tones * 0.8) + noise(rng);
  }
  return std::move(*AudioBuffer::create(std::move(channels), kRate));
}

void BM_RealFft2048(benchmark::State& state) {
  auto fft = RealFft::create(2048);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  for (float& v : fft->input()) v = sample(rng);
  for (auto _ : state) {
    fft->forward();
    benchmark::DoNotOptimize(fft->output().data());
    benchmark::ClobberMemory();
  }
  state.counters["per_frame"] =
      benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RealFft2048);

void BM_AnalyseTrack(benchmark::State& state) {
  const AudioBuffer audio = music_like_track();
  const AnalysisSettings settings;
  SpectralAnalyzer analyzer(settings);
  std::size_t frames = 0;
  for (auto _ : state) {
    auto features = analyzer.frames(audio, 0.0, kSeconds, settings.low_split_hz, settings.high_split_hz);
    frames = features.size();
    benchmark::DoNotOptimize(features.data());
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["per_frame"] = benchmark::Counter(
      static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["x_realtime"] = benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AnalyseTrack)->Unit(benchmark::kMillisecond);

// Two summaries per candidate, 1,024 candidates: 2,048 calls over 16 s
// regions spread across the track.
void BM_SummarizeJob(benchmark::State& state) {
  const AudioBuffer audio = music_like_track();
  const AnalysisSettings settings;
  SpectralAnalyzer analyzer(settings);
  TrackAnalysis analysis;
  analysis.frames = analyzer.frames(audio, 0.0, kSeconds, settings.low_split_hz, settings.high_split_hz);
  constexpr int kCalls = 2048;
  for (auto _ : state) {
    for (int call = 0; call < kCalls; ++call) {
      const double start = 44.0 * static_cast<double>(call) / kCalls;
      benchmark::DoNotOptimize(summarize(analysis, start, start + 16.0, settings.onset_sensitivity));
    }
  }
  state.counters["per_call"] =
      benchmark::Counter(kCalls, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SummarizeJob)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace segue
