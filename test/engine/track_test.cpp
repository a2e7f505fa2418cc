#include "engine/analysis/track.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace segue {
namespace {

TEST(AnalyzeTrack, FramesOfTheSpanAndTheMetricModel) {
  constexpr std::uint32_t kRate = 8000;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
  std::vector<Channel> channels(2, Channel(4 * kRate));
  for (auto& channel : channels) {
    for (float& v : channel) v = sample(rng);
  }
  auto audio = AudioBuffer::create(std::move(channels), kRate);
  ASSERT_TRUE(audio);
  // Three beats to the bar at 120 BPM.
  auto grid = BeatGrid::create(120.0f, {0, 0.5, 1, 1.5, 2, 2.5, 3}, {0, 1.5, 3});
  ASSERT_TRUE(grid);

  AnalysisSettings settings;
  settings.bars_per_phrase = 0;
  SpectralAnalyzer analyzer(settings);
  const TrackAnalysis analysis = analyze_track(analyzer, *audio, *grid, settings, 1.0, 2.0);
  EXPECT_EQ(analysis.beats_per_bar, 3u);
  EXPECT_EQ(analysis.bars_per_phrase, 1u);

  ASSERT_EQ(analysis.frames.size(), (16000u - 2048u) / 512u + 1u);
  EXPECT_DOUBLE_EQ(analysis.frames.front().time, 1.0 + 1024.0 / kRate);
  for (const auto& f : analysis.frames) {
    EXPECT_GT(f.rms, 0.1f);  // noise of about 0.2 rms per channel, uncorrelated
    EXPECT_GT(f.high, f.low);  // white noise: the wide top band holds most
  }

  settings.bars_per_phrase = 8;
  const TrackAnalysis wider = analyze_track(analyzer, *audio, *grid, settings, 1.0, -2.0);
  EXPECT_EQ(wider.bars_per_phrase, 8u);
  EXPECT_TRUE(wider.frames.empty());  // a negative length analyses nothing
}

}  // namespace
}  // namespace segue
