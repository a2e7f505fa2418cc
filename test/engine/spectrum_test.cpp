#include "engine/analysis/spectrum.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/analysis/fft.hpp"
#include <numbers>
#include <random>
#include <vector>

namespace segue {
namespace {

constexpr float kLowSplit = 200.0f;
constexpr float kHighSplit = 2000.0f;

AudioBuffer make_buffer(std::vector<Channel> channels, std::uint32_t sample_rate) {
  auto buffer = AudioBuffer::create(std::move(channels), sample_rate);
  EXPECT_TRUE(buffer);
  return std::move(*buffer);
}

Channel noise(std::size_t frames, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
  Channel out(frames);
  for (float& v : out) v = sample(rng);
  return out;
}

Channel sine(std::size_t frames, double hz, std::uint32_t sample_rate) {
  Channel out(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    out[i] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / sample_rate));
  }
  return out;
}

std::vector<FrameFeatures> analyse(const AudioBuffer& audio, double start, double length) {
  SpectralAnalyzer analyzer{AnalysisSettings{}};
  return analyzer.frames(audio, start, length, kLowSplit, kHighSplit);
}

void expect_same_frames(const std::vector<FrameFeatures>& a, const std::vector<FrameFeatures>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].time, b[k].time) << k;
    EXPECT_EQ(a[k].rms, b[k].rms) << k;
    EXPECT_EQ(a[k].low, b[k].low) << k;
    EXPECT_EQ(a[k].mid, b[k].mid) << k;
    EXPECT_EQ(a[k].high, b[k].high) << k;
    EXPECT_EQ(a[k].centroid_hz, b[k].centroid_hz) << k;
    EXPECT_EQ(a[k].flux, b[k].flux) << k;
  }
}

TEST(SpectralAnalyzer, FrameCountFollowsTheSpanLength) {
  const struct {
    std::size_t samples;
    std::size_t frames;
  } cases[] = {{2047, 0}, {2048, 1}, {2048 + 511, 1}, {2048 + 512, 2}, {2048 + 10 * 512, 11}, {0, 0}};
  SpectralAnalyzer analyzer{AnalysisSettings{}};
  for (const auto& c : cases) {
    // The span is set by its length on a longer track, so the clamp to the
    // track's end plays no part.
    const AudioBuffer audio = make_buffer({noise(10000, 1)}, 8000);
    const double length = static_cast<double>(c.samples) / 8000.0;
    EXPECT_EQ(analyzer.frames(audio, 0.0, length, kLowSplit, kHighSplit).size(), c.frames) << c.samples;
    // And by the end of the track, with a span reaching far beyond it.
    const AudioBuffer exact = make_buffer({noise(c.samples, 2)}, 8000);
    EXPECT_EQ(analyzer.frames(exact, 0.0, 1e9, kLowSplit, kHighSplit).size(), c.frames) << c.samples;
  }
}

TEST(SpectralAnalyzer, SpanIsClampedToTheTrack) {
  const AudioBuffer audio = make_buffer({noise(8000, 3)}, 8000);
  EXPECT_TRUE(analyse(audio, 1.0, 5.0).empty());   // starts exactly at the end
  EXPECT_TRUE(analyse(audio, 10.0, 5.0).empty());  // starts past the end
  EXPECT_TRUE(analyse(audio, 0.0, -1.0).empty());  // negative length
  EXPECT_TRUE(analyse(audio, std::nan(""), std::nan("")).empty());

  // A negative start reads as 0, whatever the length asks for beyond it.
  const auto from_zero = analyse(audio, 0.0, 1.0);
  ASSERT_EQ(from_zero.size(), 12u);
  expect_same_frames(analyse(audio, -3.0, 1.0), from_zero);
  expect_same_frames(analyse(audio, std::nan(""), 1.0), from_zero);
}

TEST(SpectralAnalyzer, FrameTimesAreFrameCentresStepByHop) {
  constexpr std::uint32_t kRate = 8000;
  const AudioBuffer audio = make_buffer({noise(3 * kRate, 4)}, kRate);
  const auto frames = analyse(audio, 0.25, 1.5);  // first sample 2000
  ASSERT_EQ(frames.size(), (12000u - 2048u) / 512u + 1u);
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const double expected = (static_cast<double>(k * 512) + 1024.0) / kRate + 2000.0 / kRate;
    EXPECT_EQ(frames[k].time, expected) << k;
  }
  EXPECT_DOUBLE_EQ(frames[0].time, 0.25 + 1024.0 / kRate);
  EXPECT_DOUBLE_EQ(frames[1].time - frames[0].time, 512.0 / kRate);
}

// An impulse at the window's centre (weight exactly 1) has a flat spectrum:
// every bin has the impulse's height, so the band sums count the bins of
// each band and the centroid is the mean bin frequency.
TEST(SpectralAnalyzer, ImpulseShowsBandEdgesCentroidAndMixdown) {
  const struct {
    std::uint32_t rate;
    std::size_t channels;
    float low_bins, mid_bins, high_bins;
  } cases[] = {
      {48000, 1, 9, 76, 940},   // edges at bins 9 and 85
      {44100, 1, 9, 84, 932},   // edges at bins 9 and 93
      {48000, 2, 9, 76, 940},   // the second channel is silent: height 1/2
      {8000, 4, 51, 461, 513},  // edges at bins 51 and 512
  };
  for (const auto& c : cases) {
    std::vector<Channel> channels(c.channels, Channel(2048, 0.0f));
    channels[0][1024] = 1.0f;
    const AudioBuffer audio = make_buffer(std::move(channels), c.rate);
    const auto frames = analyse(audio, 0.0, 1.0);
    ASSERT_EQ(frames.size(), 1u) << c.rate;
    const FrameFeatures& f = frames[0];
    const float height = 1.0f / static_cast<float>(c.channels);
    EXPECT_NEAR(f.low, c.low_bins * height, 1e-4f) << c.rate;
    EXPECT_NEAR(f.mid, c.mid_bins * height, 1e-4f) << c.rate;
    EXPECT_NEAR(f.high, c.high_bins * height, 1e-3f) << c.rate;
    const float bin_hz = static_cast<float>(c.rate) / 2048.0f;
    EXPECT_NEAR(f.centroid_hz, 512.0f * bin_hz, 0.1f) << c.rate;  // mean of bins 0 ... 1024
    EXPECT_NEAR(f.flux, height, 1e-6f) << c.rate;  // first frame: total / bins
    EXPECT_FLOAT_EQ(f.rms, height / std::sqrt(2048.0f)) << c.rate;
  }
}

TEST(SpectralAnalyzer, OppositeChannelsMixToSilence) {
  Channel left = noise(48000, 5);
  Channel right(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) right[i] = -left[i];
  const AudioBuffer audio = make_buffer({std::move(left), std::move(right)}, 48000);
  const auto frames = analyse(audio, 0.0, 1.0);
  ASSERT_EQ(frames.size(), 90u);
  for (const auto& f : frames) {
    EXPECT_EQ(f.rms, 0.0f);
    EXPECT_EQ(f.low + f.mid + f.high, 0.0f);
    EXPECT_EQ(f.centroid_hz, 0.0f);
    EXPECT_EQ(f.flux, 0.0f);
  }
}

TEST(SpectralAnalyzer, OneKilohertzSineSitsInTheMidBand) {
  const AudioBuffer audio = make_buffer({sine(48000, 1000.0, 48000)}, 48000);
  const auto frames = analyse(audio, 0.0, 1.0);
  ASSERT_EQ(frames.size(), 90u);
  for (const auto& f : frames) {
    const float total = f.low + f.mid + f.high;
    EXPECT_GT(f.mid / total, 0.99f);
    EXPECT_NEAR(f.centroid_hz, 1000.0f, 25.0f);
    EXPECT_NEAR(f.rms, 0.5f / std::numbers::sqrt2_v<float>, 0.01f);
  }
}

TEST(SpectralAnalyzer, RepeatedFramesHaveNoFlux) {
  // A period of 64 samples tiled exactly: every hop of 512 moves by whole
  // periods, so each frame is bit for bit its predecessor.
  const Channel period = noise(64, 6);
  Channel tiled(64 * 200);
  for (std::size_t i = 0; i < tiled.size(); ++i) tiled[i] = period[i % 64];
  const AudioBuffer audio = make_buffer({std::move(tiled)}, 48000);
  const auto frames = analyse(audio, 0.0, 1.0);
  ASSERT_GE(frames.size(), 3u);
  EXPECT_GT(frames[0].flux, 0.0f);
  for (std::size_t k = 1; k < frames.size(); ++k) EXPECT_EQ(frames[k].flux, 0.0f) << k;
}

TEST(SpectralAnalyzer, EachTrackStartsWithoutAPreviousFrame) {
  const AudioBuffer first = make_buffer({noise(20000, 7)}, 16000);
  const AudioBuffer second = make_buffer({noise(20000, 8), noise(20000, 9)}, 22050);
  SpectralAnalyzer analyzer{AnalysisSettings{}};
  const auto once = analyzer.frames(first, 0.0, 2.0, kLowSplit, kHighSplit);
  analyzer.frames(second, 0.1, 0.5, kLowSplit, kHighSplit);
  const auto again = analyzer.frames(first, 0.0, 2.0, kLowSplit, kHighSplit);
  expect_same_frames(once, again);
  // A fresh analyser agrees too: nothing of one call leaks into the next.
  expect_same_frames(analyse(first, 0.0, 2.0), once);
}

// The analysis written out step by step: the whole span mixed first, one
// frame at a time, libm's hypot per bin. The analyser works in groups of
// frames with lanes side by side; it must agree with this bit for bit.
std::vector<FrameFeatures> reference_frames(const AudioBuffer& audio, double start, double length,
                                            const AnalysisSettings& settings) {
  const std::size_t n = settings.frame_size;
  const std::size_t hop = settings.hop_size;
  const double sr = audio.sample_rate();
  std::size_t first = start > 0 ? static_cast<std::size_t>(std::round(start * sr)) : 0;
  first = std::min(first, audio.frame_count());
  std::size_t count = static_cast<std::size_t>(std::round(std::max(length, 0.0) * sr));
  count = std::min(count, audio.frame_count() - first);
  std::vector<FrameFeatures> out;
  if (count < n) return out;

  std::vector<float> mono(count, 0.0f);
  for (std::size_t c = 0; c < audio.channel_count(); ++c) {
    for (std::size_t j = 0; j < count; ++j) {
      mono[j] = mono[j] + audio.channel(c)[first + j] * (1.0f / static_cast<float>(audio.channel_count()));
    }
  }
  std::vector<float> window(n);
  for (std::size_t i = 0; i < n; ++i) {
    window[i] = 0.5f - 0.5f * std::cos(static_cast<float>(i) * 6.2831855f * (1.0f / static_cast<float>(n)));
  }
  auto fft = RealFft::create(n);
  const std::size_t bins = n / 2 + 1;
  const float bin_hz = static_cast<float>(audio.sample_rate()) / static_cast<float>(n);
  const std::size_t e = std::min(static_cast<std::size_t>(std::round(settings.low_split_hz / bin_hz)), bins);
  const std::size_t f = std::max(e, std::min(static_cast<std::size_t>(std::round(settings.high_split_hz / bin_hz)), bins));
  std::vector<float> magnitude(bins), previous(bins, 0.0f);
  for (std::size_t k = 0; k < (count - n) / hop + 1; ++k) {
    for (std::size_t i = 0; i < n; ++i) fft->input()[i] = mono[k * hop + i] * window[i];
    fft->forward();
    for (std::size_t b = 0; b < bins; ++b) magnitude[b] = std::hypot(fft->output()[b].real(), fft->output()[b].imag());
    FrameFeatures frame;
    for (std::size_t b = 0; b < e; ++b) frame.low += magnitude[b];
    for (std::size_t b = e; b < f; ++b) frame.mid += magnitude[b];
    for (std::size_t b = f; b < bins; ++b) frame.high += magnitude[b];
    float total = 0, weighted = 0, rise = 0;
    for (std::size_t b = 0; b < bins; ++b) total += magnitude[b];
    for (std::size_t b = 0; b < bins; ++b) weighted += static_cast<float>(b) * bin_hz * magnitude[b];
    frame.centroid_hz = total > 1.1920929e-7f ? weighted / total : 0.0f;
    for (std::size_t b = 0; b < bins; ++b) rise += std::fmax(magnitude[b] - previous[b], 0.0f);
    frame.flux = rise / static_cast<float>(bins);
    previous = magnitude;
    double squares = 0;
    for (std::size_t i = 0; i < n; ++i) squares += static_cast<double>(mono[k * hop + i]) * mono[k * hop + i];
    frame.rms = static_cast<float>(std::sqrt(squares / static_cast<double>(n)));
    frame.time = (static_cast<double>(k * hop) + 0.5 * static_cast<double>(n)) / sr + static_cast<double>(first) / sr;
    out.push_back(frame);
  }
  return out;
}

// Equal bits, so that NaN results are compared too.
void expect_identical_frames(const std::vector<FrameFeatures>& got, const std::vector<FrameFeatures>& want,
                             const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const auto bits = [](float v) { return std::bit_cast<std::uint32_t>(v); };
  for (std::size_t k = 0; k < got.size(); ++k) {
    ASSERT_EQ(got[k].time, want[k].time) << what << " frame " << k;
    ASSERT_EQ(bits(got[k].rms), bits(want[k].rms)) << what << " frame " << k;
    ASSERT_EQ(bits(got[k].low), bits(want[k].low)) << what << " frame " << k;
    ASSERT_EQ(bits(got[k].mid), bits(want[k].mid)) << what << " frame " << k;
    ASSERT_EQ(bits(got[k].high), bits(want[k].high)) << what << " frame " << k;
    ASSERT_EQ(bits(got[k].centroid_hz), bits(want[k].centroid_hz)) << what << " frame " << k;
    ASSERT_EQ(bits(got[k].flux), bits(want[k].flux)) << what << " frame " << k;
  }
}

TEST(SpectralAnalyzer, AgreesBitForBitWithTheStepByStepComputation) {
  AnalysisSettings defaults;
  AnalysisSettings small;  // many frames from little audio
  small.frame_size = 64;
  small.hop_size = 16;
  AnalysisSettings gapped;  // hops longer than a frame skip samples
  gapped.frame_size = 32;
  gapped.hop_size = 48;
  AnalysisSettings odd;
  odd.frame_size = 45;
  odd.hop_size = 7;

  Channel spiky = noise(30000, 21);
  spiky[12345] = std::nanf("");
  spiky[20000] = std::numeric_limits<float>::infinity();
  Channel loud = noise(30000, 22);
  for (float& v : loud) v *= 3e37f;  // bins beyond the float range

  const struct {
    const char* what;
    std::vector<Channel> channels;
    std::uint32_t rate;
    AnalysisSettings settings;
    double start, length;
  } cases[] = {
      {"stereo, 11 frames", {noise(8000, 11), noise(8000, 12)}, 8000, defaults, 0.0, 1.0},
      {"mono with an offset", {noise(40000, 13)}, 44100, defaults, 0.05, 0.8},
      {"three channels", {noise(9000, 14), noise(9000, 15), noise(9000, 16)}, 22050, small, 0.01, 0.3},
      {"gapped", {noise(5000, 17)}, 16000, gapped, 0.0, 1.0},
      {"odd sizes", {noise(3000, 18), noise(3000, 19)}, 12000, odd, 0.002, 1.0},
      {"NaN and infinity", {spiky}, 48000, small, 0.0, 1.0},
      {"overflowing bins", {loud}, 48000, small, 0.0, 1.0},
  };
  for (const auto& c : cases) {
    const AudioBuffer audio = make_buffer(c.channels, c.rate);
    SpectralAnalyzer analyzer{c.settings};
    const auto got =
        analyzer.frames(audio, c.start, c.length, c.settings.low_split_hz, c.settings.high_split_hz);
    ASSERT_FALSE(got.empty()) << c.what;
    expect_identical_frames(got, reference_frames(audio, c.start, c.length, c.settings), c.what);
  }
}

TEST(SpectralAnalyzer, UnusableSettingsGiveNoFrames) {
  const AudioBuffer audio = make_buffer({noise(8000, 10)}, 8000);
  AnalysisSettings no_hop;
  no_hop.hop_size = 0;
  AnalysisSettings no_frame;
  no_frame.frame_size = 0;
  for (const auto& settings : {no_hop, no_frame}) {
    SpectralAnalyzer analyzer{settings};
    EXPECT_TRUE(analyzer.frames(audio, 0.0, 1.0, kLowSplit, kHighSplit).empty());
  }
}

}  // namespace
}  // namespace segue
