#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "engine/analysis/loudness.hpp"
#include "test/support/random.hpp"

namespace segue {
namespace {

using fixtures::white_noise;

constexpr std::uint32_t kRate = 48000;

Channel sine(double amplitude, double seconds, std::uint32_t rate = kRate) {
  Channel samples(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 * i / rate));
  }
  return samples;
}

// Uniform white noise in [-1, 1) from a fixed LCG, so every run reads the same.

AudioBuffer buffer(std::vector<Channel> channels, std::uint32_t rate = kRate) {
  return AudioBuffer::create(std::move(channels), rate).value();
}

TEST(Loudness, SinesReadTheirConformanceLevels) {
  const double minus23 = std::pow(10.0, -23.0 / 20.0);
  const struct {
    const char* name;
    double left, right;
    float lufs;
  } cases[] = {
      {"half-scale sine in both channels", 0.5, 0.5, -6.0f},
      {"-23 dBFS sine in both channels", minus23, minus23, -23.0f},
      // One silent channel halves the summed power: 3 dB down. A wrong
      // interleaving stride would not give this.
      {"half-scale sine on the left only", 0.5, 0.0, -9.0f},
  };
  for (const auto& c : cases) {
    const AudioBuffer audio = buffer({sine(c.left, 3.0), sine(c.right, 3.0)});
    const Result<float> reading = measure_loudness(audio, 0.0, 3.0);
    ASSERT_TRUE(reading) << c.name;
    EXPECT_NEAR(*reading, c.lufs, 0.1f) << c.name;
  }
}

TEST(Loudness, MeasuresOnlyTheRequestedStretch) {
  // 2 s of silence, then 2 s of a half-scale sine.
  Channel left(2 * kRate, 0.0f);
  const Channel tone = sine(0.5, 2.0);
  left.insert(left.end(), tone.begin(), tone.end());
  const AudioBuffer audio = buffer({left, left});
  EXPECT_EQ(measure_loudness(audio, 0.0, 2.0).value(), -70.0f);
  EXPECT_NEAR(measure_loudness(audio, 2.0, 2.0).value(), -6.0f, 0.1f);
  // A length beyond the end is clamped to what is left.
  EXPECT_NEAR(measure_loudness(audio, 2.0, 60.0).value(), -6.0f, 0.1f);
}

TEST(Loudness, ShortStretchReadsItsRmsLevel) {
  // 300 ms is shorter than one 400 ms gating block, so the meter yields
  // nothing and the RMS level stands in.
  const std::size_t frames = 3 * kRate / 10;
  const Channel left = white_noise(frames, 1);
  const Channel right = white_noise(frames, 2);
  double left_power = 0.0, right_power = 0.0;
  for (std::size_t i = 0; i < frames; ++i) {
    left_power += static_cast<double>(left[i]) * left[i];
    right_power += static_cast<double>(right[i]) * right[i];
  }
  const double expected_db = 10.0 * std::log10((left_power + right_power) / (2.0 * frames));
  const Result<float> reading = measure_loudness(buffer({left, right}), 0.0, 0.3);
  ASSERT_TRUE(reading);
  EXPECT_NEAR(*reading, expected_db, 1e-3);
  EXPECT_NEAR(*reading, -4.77, 0.1);  // uniform full-scale noise: 1/sqrt(3)
}

TEST(Loudness, SilenceAndEmptySpansReadTheFloor) {
  const AudioBuffer silence = buffer({Channel(5 * kRate, 0.0f), Channel(5 * kRate, 0.0f)});
  const AudioBuffer tone = buffer({sine(0.5, 1.0)});
  const AudioBuffer empty = buffer({Channel{}});
  const struct {
    const char* name;
    const AudioBuffer& audio;
    double start, length;
  } cases[] = {
      {"five seconds of digital silence", silence, 0.0, 5.0},
      {"zero length", tone, 0.2, 0.0},
      {"negative length", tone, 0.2, -1.0},
      {"start past the end", tone, 2.0, 1.0},
      {"no frames at all", empty, 0.0, 1.0},
  };
  for (const auto& c : cases) {
    const Result<float> reading = measure_loudness(c.audio, c.start, c.length);
    ASSERT_TRUE(reading) << c.name;
    EXPECT_EQ(*reading, -70.0f) << c.name;
  }
}

TEST(Loudness, RefusedMeterIsADspError) {
  const struct {
    std::size_t channels;
    std::uint32_t rate;
    const char* text;
  } cases[] = {
      {65, kRate, "dsp failure: loudness meter: cannot create a meter for 65 channels at 48000 Hz"},
      {2, 8, "dsp failure: loudness meter: cannot create a meter for 2 channels at 8 Hz"},
  };
  for (const auto& c : cases) {
    const AudioBuffer audio = AudioBuffer::silent(c.channels, 100, c.rate).value();
    const Result<float> reading = measure_loudness(audio, 0.0, 100.0 / c.rate);
    ASSERT_FALSE(reading) << c.text;
    EXPECT_EQ(reading.error().kind(), EngineError::Kind::Dsp);
    EXPECT_EQ(reading.error().to_text(), c.text);
  }
  // An empty span never needs a meter, so it cannot be refused.
  EXPECT_EQ(measure_loudness(AudioBuffer::silent(65, 100, kRate).value(), 0.0, 0.0).value(), -70.0f);
}

}  // namespace
}  // namespace segue
