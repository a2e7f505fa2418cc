#include "engine/dsp/resampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "test/support/signals.hpp"

namespace segue {
namespace {

using fixtures::peak_index;
using fixtures::sine;

AudioBuffer make(std::vector<Channel> channels, std::uint32_t rate) { return *AudioBuffer::create(std::move(channels), rate); }

TEST(Resampler, LengthIsTheCeilingOfTheRoundedRatioTimesTheFrames) {
  struct Case {
    std::uint64_t frames;
    std::uint32_t source, target;
    std::uint64_t expected;
  };
  // 48000 / 44100 rounds up in 64 bits, so a whole second gains a frame.
  const Case cases[] = {
      {44100, 44100, 48000, 48001}, {48000, 48000, 44100, 44100}, {1, 44100, 48000, 2},
      {0, 44100, 48000, 0},         {1000, 8000, 48000, 6000},    {3, 48000, 8000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames " + std::to_string(c.source) + " -> " + std::to_string(c.target));
    EXPECT_EQ(converted_frame_count(c.frames, c.source, c.target), c.expected);
    if (c.frames == 0) continue;
    auto converted = resample(make({Channel(c.frames, 0.25f), Channel(c.frames, -0.25f)}, c.source), c.target);
    ASSERT_TRUE(converted) << converted.error().to_text();
    EXPECT_EQ(converted->frame_count(), c.expected);
    EXPECT_EQ(converted->channel_count(), 2u);
    EXPECT_EQ(converted->sample_rate(), c.target);
  }
}

TEST(Resampler, AnImpulseKeepsItsInstant) {
  struct Case {
    std::uint32_t source, target;
  };
  const Case cases[] = {{44100, 48000}, {48000, 44100}, {22050, 44100}, {48000, 16000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.source) + " -> " + std::to_string(c.target));
    // Channel 0 at frame 0, channel 1 later: checks the delay removal and
    // that channels are not swapped or shifted by the interleaving.
    const std::size_t later = 3000;
    Channel first(4096, 0.0f), second(4096, 0.0f);
    first[0] = 1.0f;
    second[later] = 0.5f;
    auto converted = resample(make({first, second}, c.source), c.target);
    ASSERT_TRUE(converted) << converted.error().to_text();
    EXPECT_EQ(peak_index(converted->channel(0)), 0u);
    const double expected = static_cast<double>(later) * c.target / c.source;
    EXPECT_NEAR(static_cast<double>(peak_index(converted->channel(1))), expected, 1.0);
  }
}

TEST(Resampler, ASineComesOutAsTheSameSineAtTheNewRate) {
  // Across many 1024-frame chunks and the final flush: any lost, repeated
  // or misplaced chunk breaks the comparison somewhere along the second.
  const std::uint32_t source = 44100, target = 48000;
  auto converted = resample(make({sine(source, 1000.0, source, 0.5f), sine(source, 3000.0, source, 0.25f)}, source), target);
  ASSERT_TRUE(converted) << converted.error().to_text();
  const Channel expected_low = sine(converted->frame_count(), 1000.0, target, 0.5f);
  const Channel expected_high = sine(converted->frame_count(), 3000.0, target, 0.25f);
  double worst = 0.0;
  // The edges ring where the input starts and stops abruptly.
  for (std::size_t f = 500; f + 500 < converted->frame_count(); ++f) {
    worst = std::max(worst, double(std::fabs(converted->channel(0)[f] - expected_low[f])));
    worst = std::max(worst, double(std::fabs(converted->channel(1)[f] - expected_high[f])));
  }
  EXPECT_LT(worst, 1e-4);
}

TEST(Resampler, NeedsNoConverterForEqualRatesOrAnEmptyRegion) {
  const Channel samples = {0.1f, -0.2f, 0.3f};
  auto same = resample(make({samples}, 44100), 44100);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->channels()[0], samples);

  auto empty = resample(make({Channel(), Channel()}, 44100), 48000);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->channel_count(), 2u);
  EXPECT_EQ(empty->frame_count(), 0u);
  EXPECT_EQ(empty->sample_rate(), 48000u);

  auto zero = resample(make({samples}, 44100), 0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().to_text(), "invalid audio: target sample rate must be non-zero");
}

TEST(Resampler, ReportsItsFailuresWithTheirPrefixes) {
  auto refused = SampleRateConverter::create(0, 48000, 2);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_text(), "dsp failure: resampler construction: sample rates must be non-zero");
  EXPECT_EQ(SampleRateConverter::create(44100, 48000, 0).error().to_text(),
            "dsp failure: resampler construction: cannot convert 0 channels");

  auto converter = SampleRateConverter::create(44100, 48000, 2);
  ASSERT_TRUE(converter) << converter.error().to_text();
  const Channel full(10, 0.0f), short_channel(5, 0.0f);
  std::vector<float> output(2 * 64, 0.0f);
  const std::span<const float> mismatched[] = {full, short_channel};
  EXPECT_EQ(converter->convert(mismatched, output).error().to_text(),
            "dsp failure: resampler input adapter: channel 1 has 5 frames, fewer than the first's 10");
  const std::span<const float> one[] = {full};
  EXPECT_EQ(converter->convert(one, output).error().to_text(),
            "dsp failure: resampler input adapter: expected 2 channels, got 1");
}

TEST(Resampler, WritesNoFurtherThanTheOutputItIsGiven) {
  auto converter = SampleRateConverter::create(8000, 48000, 2);
  ASSERT_TRUE(converter) << converter.error().to_text();
  const Channel left = sine(4000, 440.0, 8000, 0.5f), right = sine(4000, 660.0, 8000, 0.5f);
  const std::span<const float> input[] = {left, right};

  // Room for 100 frames inside a list guarded by sentinels on both sides.
  constexpr float kSentinel = 12345.0f;
  std::vector<float> guarded(2 * 100 + 2 * 16, kSentinel);
  auto written = converter->convert(input, std::span<float>(guarded).subspan(16, 2 * 100));
  ASSERT_TRUE(written) << written.error().to_text();
  EXPECT_EQ(*written, 100u);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(guarded[i], kSentinel);
    EXPECT_EQ(guarded[guarded.size() - 1 - i], kSentinel);
  }
  EXPECT_NE(guarded[16 + 2 * 99], kSentinel);
}

}  // namespace
}  // namespace segue
