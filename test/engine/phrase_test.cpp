#include "engine/analysis/phrase.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace segue {
namespace {

BeatGrid grid(float bpm, std::vector<double> beats, std::vector<double> downbeats) {
  auto made = BeatGrid::create(bpm, std::move(beats), std::move(downbeats));
  EXPECT_TRUE(made);
  return std::move(*made);
}

// Downbeats from a start and successive intervals.
std::vector<double> downbeats_from(std::vector<double> intervals) {
  std::vector<double> times = {0.0};
  for (double step : intervals) times.push_back(times.back() + step);
  return times;
}

TEST(Phrase, BeatsPerBarFromTheMedianDownbeatInterval) {
  const struct {
    float bpm;
    std::vector<double> downbeats;
    std::uint32_t expected;
  } cases[] = {
      {120.0f, {0, 2, 4, 6}, 4},
      {120.0f, {0, 1.5, 3, 4.5}, 3},
      {120.0f, {0, 9, 18}, 4},  // 18 beats a bar is beyond 16: fallback
      {120.0f, {0, 8, 16}, 16},
      {120.0f, {0, 0.5, 1}, 1},
      {120.0f, {0, 0.2, 0.4}, 4},  // rounds to 0 beats: fallback
      {120.0f, {0, 2}, 4},         // too few downbeats to tell
      {120.0f, {}, 4},
      {120.0f, downbeats_from({2, 4, 2.6}), 5},  // sorted 2, 2.6, 4: the middle, 5.2 beats
      {120.0f, downbeats_from({4, 2}), 8},       // two intervals: the upper, 4 s
      {120.0f, downbeats_from({1.25, 1.25}), 3},  // 2.5 beats rounds away from zero
      {90.0f, {0, 2, 4, 6, 8}, 3},               // 2 s at 1.5 beats a second
  };
  for (const auto& c : cases) {
    EXPECT_EQ(estimate_beats_per_bar(grid(c.bpm, {}, c.downbeats)), c.expected)
        << c.bpm << " bpm, " << c.downbeats.size() << " downbeats";
  }
}

TEST(Phrase, NearestIndexTiesGoToTheEarlierEntry) {
  const std::vector<double> pair = {1.0, 2.0};
  const std::vector<double> many = {0.0, 0.5, 1.0, 1.5, 2.0};
  const struct {
    const std::vector<double>* times;
    double t;
    std::size_t expected;
  } cases[] = {
      {&pair, 1.5, 0}, {&pair, 1.51, 1}, {&pair, 1.49, 0}, {&pair, 0.0, 0},  {&pair, 1.0, 0},
      {&pair, 2.0, 1}, {&pair, 7.0, 1},  {&many, 0.75, 1}, {&many, 0.76, 2}, {&many, 1.5, 3},
      {&many, -1.0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(nearest_index(*c.times, c.t), c.expected) << c.t;
  const std::vector<double> single = {3.0};
  EXPECT_EQ(nearest_index(single, -10.0), 0u);
  EXPECT_EQ(nearest_index(single, 10.0), 0u);
}

TEST(Phrase, BeatProximityFallsLinearlyOverHalfABeat) {
  const BeatGrid beats = grid(120.0f, {1.0, 1.5, 2.0, 2.5}, {});
  const struct {
    double t;
    float expected;
  } cases[] = {
      {1.5, 1.0f}, {1.55, 0.8f}, {1.45, 0.8f}, {1.75, 0.0f}, {0.7, 0.0f}, {0.95, 0.8f}, {2.625, 0.5f}, {3.0, 0.0f},
  };
  for (const auto& c : cases) EXPECT_NEAR(beat_proximity(beats, c.t), c.expected, 1e-6f) << c.t;
  EXPECT_EQ(beat_proximity(beats, std::nan("")), 0.0f);
  EXPECT_EQ(beat_proximity(grid(120.0f, {}, {0, 2}), 0.0), 0.0f);  // no beats
}

TEST(Phrase, DownbeatAlignmentWeighsThePlaceInThePhrase) {
  // Downbeats every 2 s at 120 BPM; half a beat is 0.25 s.
  std::vector<double> downbeats;
  for (int i = 0; i < 10; ++i) downbeats.push_back(2.0 * i);
  const BeatGrid bars = grid(120.0f, {}, downbeats);
  const struct {
    std::uint32_t bars_per_phrase;
    double t;
    float expected;
  } cases[] = {
      {4, 0.0, 1.0f},   {4, 8.0, 1.0f},   {4, 16.0, 1.0f},  // first bar of a phrase
      {4, 4.0, 0.7f},   {4, 12.0, 0.7f},                    // middle bar
      {4, 2.0, 0.4f},   {4, 6.0, 0.4f},   {4, 10.0, 0.4f},  // other bars
      {3, 0.0, 1.0f},   {3, 6.0, 1.0f},   {3, 12.0, 1.0f},  // odd phrase: no middle
      {3, 2.0, 0.4f},   {3, 4.0, 0.4f},   {3, 8.0, 0.4f},
      {2, 2.0, 0.7f},   {1, 2.0, 1.0f},   {0, 2.0, 1.0f},   // 0 bars count as 1
      {4, 8.05, 0.8f},  {4, 4.1, 0.42f},  {4, 6.1, 0.24f},  // between downbeats: by distance
      {4, 9.0, 0.0f},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(downbeat_alignment(bars, c.bars_per_phrase, c.t), c.expected, 1e-6f)
        << c.bars_per_phrase << " bars, t " << c.t;
  }
  EXPECT_EQ(downbeat_alignment(bars, 4, std::nan("")), 0.0f);
  const BeatGrid no_downbeats = grid(120.0f, {0.0, 0.5}, {});
  for (double t : {0.0, 0.3, 100.0}) EXPECT_EQ(downbeat_alignment(no_downbeats, 4, t), 0.5f);
}

TEST(Phrase, LengthBonusForWholePhrases) {
  const struct {
    std::uint32_t beats, beats_per_bar, bars_per_phrase;
    float expected;
  } cases[] = {
      {16, 4, 4, 0.3f},  {32, 4, 4, 0.3f},  {4, 4, 4, 0.12f}, {8, 4, 4, 0.12f}, {12, 3, 4, 0.3f},
      {16, 3, 4, 0.12f}, {16, 4, 0, 0.12f}, {16, 0, 4, 0.12f}, {7, 1, 1, 0.3f},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(phrase_length_bonus(c.beats, c.beats_per_bar, c.bars_per_phrase), c.expected)
        << c.beats << " beats, " << c.beats_per_bar << " x " << c.bars_per_phrase;
  }
}

}  // namespace
}  // namespace segue
