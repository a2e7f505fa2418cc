#include "engine/types/beat.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace segue {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string grid_error(float bpm, std::vector<double> beats, std::vector<double> downbeats) {
  auto grid = BeatGrid::create(bpm, std::move(beats), std::move(downbeats));
  return grid ? std::string("ok") : grid.error().to_text();
}

TEST(BeatGrid, ValidationMessagesAndOrder) {
  const struct {
    float bpm;
    std::vector<double> beats, downbeats;
    const char* text;
  } cases[] = {
      {0.0f, {}, {}, "invalid beat analysis: bpm must be finite and positive, got 0"},
      {-120.0f, {}, {}, "invalid beat analysis: bpm must be finite and positive, got -120"},
      {std::nanf(""), {}, {}, "invalid beat analysis: bpm must be finite and positive, got NaN"},
      {INFINITY, {}, {}, "invalid beat analysis: bpm must be finite and positive, got inf"},
      {128.0f, {0, 0.5, 0.5}, {}, "invalid beat analysis: beats must be strictly increasing, but [2] = 0.5 follows 0.5"},
      // Range is checked before order.
      {128.0f, {1, -1}, {}, "invalid beat analysis: beats[1] must be finite and non-negative, got -1"},
      {128.0f, {}, {kInf}, "invalid beat analysis: downbeats[0] must be finite and non-negative, got inf"},
      {128.0f, {0, 1}, {2, 1}, "invalid beat analysis: downbeats must be strictly increasing, but [1] = 1 follows 2"},
      // Both lists invalid: the beats report first.
      {128.0f, {-1}, {-2}, "invalid beat analysis: beats[0] must be finite and non-negative, got -1"},
      {128.0f, {-0.0, 1}, {}, "ok"},
      {128.0f, {}, {}, "ok"},
      {1e-30f, {}, {}, "ok"},
  };
  for (const auto& c : cases) EXPECT_EQ(grid_error(c.bpm, c.beats, c.downbeats), c.text);
}

TEST(BeatGrid, AnchorsPreferDownbeatsThenBeatsThenTheStart) {
  auto grid = BeatGrid::create(120.0f, {12.5, 13, 13.5}, {4, 8, 12});
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->anchors_between(5, 12), (std::vector<double>{8, 12}));
  EXPECT_EQ(grid->anchors_between(4, 4), (std::vector<double>{4}));
  EXPECT_EQ(grid->anchors_between(12.2, 13.2), (std::vector<double>{12.5, 13}));
  EXPECT_EQ(grid->anchors_between(20, 21), (std::vector<double>{20}));
  EXPECT_EQ(grid->anchors_between(9, 5), (std::vector<double>{9}));  // start after end
  EXPECT_DOUBLE_EQ(grid->beat_period(), 0.5);

  auto bare = BeatGrid::create(120.0f, {}, {});
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->anchors_between(3, 7), (std::vector<double>{3}));
}

}  // namespace
}  // namespace segue
