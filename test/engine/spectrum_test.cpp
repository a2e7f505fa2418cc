#include "engine/analysis/spectrum.hpp"

#include <gtest/gtest.h>

#include <cmath>
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
