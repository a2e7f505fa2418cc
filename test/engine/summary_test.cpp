#include "engine/types/analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace segue {
namespace {

constexpr float kSensitivity = 1.5f;

FrameFeatures frame(double time, float rms, float low = 0, float mid = 0, float high = 0, float centroid = 0,
                    float flux = 0) {
  return {time, rms, low, mid, high, centroid, flux};
}

void expect_empty(const RegionFeatures& r, const char* what) {
  EXPECT_EQ(r.level_db, -120.0f) << what;
  EXPECT_EQ(r.low_share, 1.0f / 3.0f) << what;
  EXPECT_EQ(r.mid_share, 1.0f / 3.0f) << what;
  EXPECT_EQ(r.high_share, 1.0f / 3.0f) << what;
  EXPECT_EQ(r.centroid_hz, 0.0f) << what;
  EXPECT_EQ(r.onset_density, 0.0f) << what;
  EXPECT_EQ(r.level_slope, 0.0f) << what;
}

TEST(Summary, RangesWithoutFramesGiveTheEmptySummary) {
  TrackAnalysis track;
  expect_empty(summarize(track, 0.0, 10.0, kSensitivity), "no frames");
  for (int i = 0; i < 5; ++i) track.frames.push_back(frame(1.0 + i, 0.5f, 1, 2, 3, 500, 0.1f * i));
  expect_empty(summarize(track, 0.0, 0.99, kSensitivity), "ends before the first centre");
  expect_empty(summarize(track, 5.01, 9.0, kSensitivity), "starts after the last centre");
  expect_empty(summarize(track, 1.2, 1.8, kSensitivity), "between two centres");
  expect_empty(summarize(track, 4.0, 2.0, kSensitivity), "start after end");
  expect_empty(summarize(track, std::nan(""), 9.0, kSensitivity), "NaN start");
  expect_empty(summarize(track, 0.0, std::nan(""), kSensitivity), "NaN end");
}

TEST(Summary, OneFrameIsItsOwnSummary) {
  TrackAnalysis track;
  track.frames = {frame(0.0, 0.1f, 1, 1, 1, 100, 0.0f), frame(0.1, 0.5f, 2, 6, 12, 1500, 0.7f),
                  frame(0.2, 0.1f, 1, 1, 1, 100, 0.0f)};
  const RegionFeatures r = summarize(track, 0.05, 0.15, kSensitivity);
  EXPECT_FLOAT_EQ(r.level_db, 20.0f * std::log10(0.5f));
  EXPECT_FLOAT_EQ(r.low_share, 0.1f);
  EXPECT_FLOAT_EQ(r.mid_share, 0.3f);
  EXPECT_FLOAT_EQ(r.high_share, 0.6f);
  EXPECT_FLOAT_EQ(r.centroid_hz, 1500.0f);
  EXPECT_EQ(r.onset_density, 0.0f);
  EXPECT_EQ(r.level_slope, 0.0f);
}

TEST(Summary, FramesOnTheBoundariesAreInside) {
  TrackAnalysis track;
  // Equal band energy, so the centroid is the plain mean of the included ones.
  for (int i = 0; i < 4; ++i) track.frames.push_back(frame(0.25 * i, 0.5f, 1, 1, 1, 100.0f * (i + 1)));
  EXPECT_FLOAT_EQ(summarize(track, 0.25, 0.5, kSensitivity).centroid_hz, 250.0f);
  EXPECT_FLOAT_EQ(summarize(track, 0.0, 0.75, kSensitivity).centroid_hz, 250.0f);
  EXPECT_FLOAT_EQ(summarize(track, 0.75, 0.75, kSensitivity).centroid_hz, 400.0f);
  EXPECT_FLOAT_EQ(summarize(track, -5.0, 0.0, kSensitivity).centroid_hz, 100.0f);
}

TEST(Summary, OnsetDensityCountsFluxAboveTheThreshold) {
  TrackAnalysis spike;
  for (int i = 0; i < 10; ++i) spike.frames.push_back(frame(0.01 * i, 0.5f, 1, 1, 1, 100, i == 6 ? 1.0f : 0.0f));
  EXPECT_FLOAT_EQ(summarize(spike, 0.0, 1.0, kSensitivity).onset_density, 0.1f);
  // mean 0.1, deviation 0.3: a sensitivity of 4 puts the threshold at 1.3,
  // above the spike.
  EXPECT_EQ(summarize(spike, 0.0, 1.0, 4.0f).onset_density, 0.0f);
  EXPECT_FLOAT_EQ(summarize(spike, 0.0, 1.0, 0.0f).onset_density, 0.1f);

  TrackAnalysis steady;
  for (int i = 0; i < 10; ++i) steady.frames.push_back(frame(0.01 * i, 0.5f, 1, 1, 1, 100, 0.25f));
  EXPECT_EQ(summarize(steady, 0.0, 1.0, kSensitivity).onset_density, 0.0f);
  EXPECT_EQ(summarize(steady, 0.0, 1.0, -1.0f).onset_density, 0.0f);  // no spread, no onsets at all
}

TEST(Summary, LevelSlopeInDecibelsPerSecond) {
  TrackAnalysis rising;
  // Centres far from 0, so the fit must work relative to the first frame.
  for (int i = 0; i <= 20; ++i) {
    const double t = 0.1 * i;
    rising.frames.push_back(frame(40.0 + t, std::pow(10.0f, static_cast<float>(3.0 * t - 30.0) / 20.0f), 1, 1, 1));
  }
  EXPECT_NEAR(summarize(rising, 0.0, 100.0, kSensitivity).level_slope, 3.0f, 1e-4f);
  EXPECT_NEAR(summarize(rising, 40.5, 41.0, kSensitivity).level_slope, 3.0f, 1e-4f);

  const struct {
    float first_rms, second_rms, slope;
  } floors[] = {
      {1.0f, 0.0f, -90.0f},     // silence counts as -90 dB
      {1.0f, 1e-12f, -90.0f},   // so does anything at or below 1e-9
      {1e-5f, 1.0f, 90.0f},     // -100 dB is raised to -90
      {0.0f, 0.0f, 0.0f},
  };
  for (const auto& c : floors) {
    TrackAnalysis pair;
    pair.frames = {frame(2.0, c.first_rms), frame(3.0, c.second_rms)};
    EXPECT_FLOAT_EQ(summarize(pair, 0.0, 5.0, kSensitivity).level_slope, c.slope) << c.first_rms << " " << c.second_rms;
  }
}

TEST(Summary, SilentFramesOnly) {
  TrackAnalysis track;
  for (int i = 0; i < 6; ++i) track.frames.push_back(frame(0.5 * i, 0.0f));
  expect_empty(summarize(track, 0.0, 10.0, kSensitivity), "silence");
}

TEST(Summary, LevelIsTheQuadraticMeanAndSharesAddUp) {
  TrackAnalysis track;
  track.frames = {frame(0.0, 0.3f, 4, 2, 2, 50), frame(0.1, 0.4f, 0, 6, 2, 800)};
  const RegionFeatures r = summarize(track, 0.0, 0.1, kSensitivity);
  EXPECT_FLOAT_EQ(r.level_db, 20.0f * std::log10(std::sqrt(0.125f)));
  EXPECT_FLOAT_EQ(r.low_share, 0.25f);
  EXPECT_FLOAT_EQ(r.mid_share, 0.5f);
  EXPECT_FLOAT_EQ(r.high_share, 0.25f);
  EXPECT_FLOAT_EQ(r.centroid_hz, 425.0f);  // both frames carry band energy 8
}

// The summary as written out step by step, temporary lists and all: the
// reference the single-allocation passes must match bit for bit.
RegionFeatures reference_summary(const std::vector<FrameFeatures>& frames, double a, double b, float k) {
  RegionFeatures out;
  std::vector<FrameFeatures> region;
  for (const auto& f : frames) {
    if (f.time >= a && f.time <= b) region.push_back(f);
  }
  if (region.empty()) return out;
  const std::size_t n = region.size();
  float squares = 0, low = 0, mid = 0, high = 0, e_sum = 0, weighted = 0;
  for (const auto& f : region) {
    squares += f.rms * f.rms;
    low += f.low;
    mid += f.mid;
    high += f.high;
    const float e = f.low + f.mid + f.high;
    e_sum += e;
    weighted += e * f.centroid_hz;
  }
  const float level = std::sqrt(squares / static_cast<float>(n));
  out.level_db = level > 1e-9f ? 20.0f * std::log10(level) : -120.0f;
  const float total = low + mid + high;
  if (total > 1.1920929e-7f) {
    out.low_share = low / total;
    out.mid_share = mid / total;
    out.high_share = high / total;
  }
  out.centroid_hz = e_sum > 1.1920929e-7f ? weighted / e_sum : 0.0f;
  if (n == 1) return out;

  float flux_sum = 0;
  for (const auto& f : region) flux_sum += f.flux;
  const float mean = flux_sum / static_cast<float>(n);
  float spread = 0;
  for (const auto& f : region) spread += (f.flux - mean) * (f.flux - mean);
  const float sigma = std::sqrt(spread / static_cast<float>(n));
  if (sigma > 1.1920929e-7f) {
    std::size_t above = 0;
    for (const auto& f : region) above += f.flux > mean + k * sigma;
    out.onset_density = static_cast<float>(above) / static_cast<float>(n);
  }

  std::vector<double> xs, ys;
  for (const auto& f : region) {
    xs.push_back(f.time - region.front().time);
    const float db = f.rms > 1e-9f ? std::fmax(20.0f * std::log10(f.rms), -90.0f) : -90.0f;
    ys.push_back(db);
  }
  double x_mean = 0, y_mean = 0;
  for (double x : xs) x_mean += x;
  for (double y : ys) y_mean += y;
  x_mean /= static_cast<double>(n);
  y_mean /= static_cast<double>(n);
  double num = 0, den = 0;
  for (std::size_t i = 0; i < n; ++i) {
    num += (xs[i] - x_mean) * (ys[i] - y_mean);
    den += (xs[i] - x_mean) * (xs[i] - x_mean);
  }
  out.level_slope = den > 2.220446049250313e-16 ? static_cast<float>(num / den) : 0.0f;
  return out;
}

TEST(Summary, MatchesTheStepByStepComputationExactly) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  TrackAnalysis track;
  double t = 12.0;
  for (int i = 0; i < 600; ++i) {
    t += 512.0 / 44100.0;
    const float rms = i % 37 == 0 ? 0.0f : unit(rng) * unit(rng);
    track.frames.push_back(frame(t, rms, unit(rng) * 40, unit(rng) * 90, unit(rng) * 30, 200 + 4000 * unit(rng),
                                 unit(rng) * unit(rng) * unit(rng)));
  }
  std::uniform_real_distribution<double> when(11.0, 20.0);
  for (int trial = 0; trial < 200; ++trial) {
    double a = when(rng);
    double b = a + when(rng) - 11.0;
    const RegionFeatures got = summarize(track, a, b, kSensitivity);
    const RegionFeatures want = reference_summary(track.frames, a, b, kSensitivity);
    EXPECT_EQ(got.level_db, want.level_db) << trial;
    EXPECT_EQ(got.low_share, want.low_share) << trial;
    EXPECT_EQ(got.mid_share, want.mid_share) << trial;
    EXPECT_EQ(got.high_share, want.high_share) << trial;
    EXPECT_EQ(got.centroid_hz, want.centroid_hz) << trial;
    EXPECT_EQ(got.onset_density, want.onset_density) << trial;
    EXPECT_EQ(got.level_slope, want.level_slope) << trial;
  }
}

}  // namespace
}  // namespace segue
