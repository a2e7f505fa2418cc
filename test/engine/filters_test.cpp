#include "engine/dsp/filters.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <vector>

#include "test/support/random.hpp"

namespace segue {
namespace {

using fixtures::white_noise;

constexpr float kQ = 0.70710677f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

AudioBuffer make_buffer(std::vector<Channel> channels, std::uint32_t rate) {
  return std::move(AudioBuffer::create(std::move(channels), rate).value());
}

BiquadCoefficients design(FilterKind kind, float fs, float hz, float gain_db = 0.0f) {
  return design_biquad(kind, gain_db, fs, hz, kQ).value();
}

FilterLane constant_lane(FilterKind kind, float hz, float gain_db = 0.0f) {
  FilterLane lane;
  lane.cutoff.points = {{0.0f, hz, CurveShape::Linear}};
  lane.kind = kind;
  lane.gain_db = gain_db;
  return lane;
}

// The recursion written out once, independently: block k of `block` frames
// uses coefficient set k (the last set for any block beyond the list).
std::vector<float> reference(std::vector<float> x, const std::vector<BiquadCoefficients>& sets,
                             std::size_t block = 32) {
  float s1 = 0.0f, s2 = 0.0f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const BiquadCoefficients& c = sets[std::min(i / block, sets.size() - 1)];
    const float y = c.b0 * x[i] + s1;
    s1 = c.b1 * x[i] - c.a1 * y + s2;
    s2 = c.b2 * x[i] - c.a2 * y;
    x[i] = y;
  }
  return x;
}

std::string error_text(const Status& status) { return status ? "ok" : status.error().to_text(); }

// The coefficients a lane uses in block k, seen from outside: with silence
// before the block the state is zero there, so an impulse at the block's
// first frame brings out that block's own impulse response.
std::vector<float> block_response(const FilterLane& lane, std::size_t frames, std::uint32_t rate, std::size_t k) {
  Channel x(frames, 0.0f);
  x[k * 32] = 1.0f;
  AudioBuffer buffer = make_buffer({std::move(x)}, rate);
  EXPECT_TRUE(apply_filter_lanes(buffer, {&lane, 1}, 32));
  const auto out = buffer.channel(0);
  return {out.begin() + static_cast<std::ptrdiff_t>(k * 32),
          out.begin() + static_cast<std::ptrdiff_t>(std::min(frames, (k + 1) * 32))};
}

std::vector<float> impulse_response(const BiquadCoefficients& c, std::size_t frames) {
  std::vector<float> x(frames, 0.0f);
  x[0] = 1.0f;
  return reference(std::move(x), {c});
}

TEST(Biquad, DesignErrors) {
  struct Case {
    float fs, hz, q;
    FilterDesignError error;
    const char* name;
  };
  const Case cases[] = {
      {44100.0f, 0.0f, kQ, FilterDesignError::NegativeFrequency, "NegativeFrequency"},
      {44100.0f, -5.0f, kQ, FilterDesignError::NegativeFrequency, "NegativeFrequency"},
      {44100.0f, kNaN, kQ, FilterDesignError::NegativeFrequency, "NegativeFrequency"},
      {44100.0f, 22050.0f, kQ, FilterDesignError::OutsideNyquist, "OutsideNyquist"},
      {0.0f, 100.0f, kQ, FilterDesignError::OutsideNyquist, "OutsideNyquist"},
      {-44100.0f, 100.0f, kQ, FilterDesignError::OutsideNyquist, "OutsideNyquist"},
      {44100.0f, 100.0f, 0.0f, FilterDesignError::NegativeQ, "NegativeQ"},
      {44100.0f, 100.0f, -1.0f, FilterDesignError::NegativeQ, "NegativeQ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = design_biquad(FilterKind::LowPass, 0.0f, c.fs, c.hz, c.q);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), c.error);
    EXPECT_EQ(filter_design_error_name(result.error()), c.name);
  }
  EXPECT_TRUE(design_biquad(FilterKind::LowPass, 0.0f, 44100.0f, 22049.0f, kQ));
}

// |H| in dB at `hz`, from the impulse response of a constant lane.
double measured_db(const std::vector<float>& h, double fs, double hz) {
  std::complex<double> sum = 0.0;
  for (std::size_t n = 0; n < h.size(); ++n) {
    sum += static_cast<double>(h[n]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(n) / fs);
  }
  return 20.0 * std::log10(std::abs(sum));
}

TEST(Biquad, MeasuredResponses) {
  constexpr std::uint32_t rate = 48000;
  constexpr std::size_t frames = 8192;
  struct Case {
    const char* name;
    FilterKind kind;
    float hz, gain_db;
    double probe_hz, expected_db, tolerance_db;
  };
  const Case cases[] = {
      // Q = 1/sqrt(2): half power at the cutoff, a flat pass band and the
      // stop band of a bilinear Butterworth, |H|^2 = 1 / (1 + (w / wc)^4)
      // with w = tan(pi f / fs).
      {"low-pass at cutoff", FilterKind::LowPass, 1000.0f, 0.0f, 1000.0, -3.0103, 0.01},
      {"low-pass pass band", FilterKind::LowPass, 1000.0f, 0.0f, 100.0, 0.0, 0.01},
      {"low-pass two octaves up", FilterKind::LowPass, 1000.0f, 0.0f, 4000.0, -24.4764, 0.01},
      {"high-pass at cutoff", FilterKind::HighPass, 1000.0f, 0.0f, 1000.0, -3.0103, 0.01},
      {"high-pass pass band", FilterKind::HighPass, 1000.0f, 0.0f, 10000.0, 0.0, 0.02},
      {"high-pass two octaves down", FilterKind::HighPass, 1000.0f, 0.0f, 250.0, -24.1225, 0.01},
      {"peaking at centre", FilterKind::Peaking, 2000.0f, 6.0f, 2000.0, 6.0, 0.01},
      {"peaking far away", FilterKind::Peaking, 2000.0f, 6.0f, 20.0, 0.0, 0.02},
      {"peaking cut", FilterKind::Peaking, 2000.0f, -9.0f, 2000.0, -9.0, 0.01},
      {"low shelf below", FilterKind::LowShelf, 500.0f, 6.0f, 20.0, 6.0, 0.05},
      {"low shelf at corner", FilterKind::LowShelf, 500.0f, 6.0f, 500.0, 3.0, 0.05},
      {"low shelf above", FilterKind::LowShelf, 500.0f, 6.0f, 15000.0, 0.0, 0.05},
      {"high shelf above", FilterKind::HighShelf, 2000.0f, -6.0f, 20000.0, -6.0, 0.05},
      {"high shelf at corner", FilterKind::HighShelf, 2000.0f, -6.0f, 2000.0, -3.0, 0.05},
      {"high shelf below", FilterKind::HighShelf, 2000.0f, -6.0f, 20.0, 0.0, 0.05},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Channel x(frames, 0.0f);
    x[0] = 1.0f;
    AudioBuffer buffer = make_buffer({std::move(x)}, rate);
    const FilterLane lane = constant_lane(c.kind, c.hz, c.gain_db);
    ASSERT_TRUE(apply_filter_lanes(buffer, {&lane, 1}, 32));
    const std::vector<float> h(buffer.channel(0).begin(), buffer.channel(0).end());
    const double db = measured_db(h, rate, c.probe_hz);
    EXPECT_NEAR(db, c.expected_db, c.tolerance_db);
    if (HasFailure()) {
      // The magnitude response, for a person to plot.
      const auto path = std::filesystem::temp_directory_path() / "segue_biquad_response.csv";
      std::ofstream csv(path);
      csv << "hz,db\n";
      for (double hz = 10.0; hz < rate / 2.0; hz *= 1.05) csv << hz << ',' << measured_db(h, rate, hz) << '\n';
      ADD_FAILURE() << c.name << ": response written to " << path;
      return;
    }
  }
}

TEST(FilterLanes, ConstantCutoffEqualsOneBiquadOverTheChannel) {
  // 1000 frames is not a whole number of blocks; two channels keep their own state.
  const Channel left = white_noise(1000, 1), right = white_noise(1000, 2);
  for (std::size_t block : {std::size_t{32}, std::size_t{1}, std::size_t{0}, std::size_t{4096}}) {
    SCOPED_TRACE(block);
    AudioBuffer buffer = make_buffer({left, right}, 44100);
    const FilterLane lane = constant_lane(FilterKind::LowPass, 1000.0f);
    ASSERT_TRUE(apply_filter_lanes(buffer, {&lane, 1}, block));
    const auto c = design(FilterKind::LowPass, 44100.0f, 1000.0f);
    EXPECT_EQ(buffer.channels()[0], reference(left, {c}));
    EXPECT_EQ(buffer.channels()[1], reference(right, {c}));
  }
}

TEST(FilterLanes, CutoffIsClampedToTenHzAndFortyFivePercentOfTheRate) {
  const Channel x = white_noise(300, 3);
  struct Case {
    FilterKind kind;
    float hz, used_hz;
  };
  const Case cases[] = {
      {FilterKind::HighPass, 5.0f, 10.0f},
      {FilterKind::HighPass, -40.0f, 10.0f},
      {FilterKind::LowPass, 30000.0f, 19845.0f},
      {FilterKind::LowPass, std::numeric_limits<float>::infinity(), 19845.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hz);
    AudioBuffer buffer = make_buffer({x}, 44100);
    const FilterLane lane = constant_lane(c.kind, c.hz);
    ASSERT_TRUE(apply_filter_lanes(buffer, {&lane, 1}, 32));
    EXPECT_EQ(buffer.channels()[0], reference(x, {design(c.kind, 44100.0f, c.used_hz)}));
  }
}

TEST(FilterLanes, ShortBuffers) {
  // A rising cutoff: block k is designed at 1000 + 4000 t with t = 32 k / (L - 1).
  FilterLane lane;
  lane.kind = FilterKind::LowPass;
  lane.cutoff.points = {{0.0f, 1000.0f, CurveShape::Linear}, {1.0f, 5000.0f, CurveShape::Linear}};

  // 33 frames: the second block holds one frame at t = 32 / 32 = 1.
  const Channel x = white_noise(33, 4);
  AudioBuffer buffer = make_buffer({x}, 44100);
  ASSERT_TRUE(apply_filter_lanes(buffer, {&lane, 1}, 32));
  EXPECT_EQ(buffer.channels()[0], reference(x, {design(FilterKind::LowPass, 44100.0f, 1000.0f),
                                                design(FilterKind::LowPass, 44100.0f, 5000.0f)}));

  // One frame: one block at t = 0.
  AudioBuffer one = make_buffer({{0.5f}, {-1.0f}}, 44100);
  ASSERT_TRUE(apply_filter_lanes(one, {&lane, 1}, 32));
  const float b0 = design(FilterKind::LowPass, 44100.0f, 1000.0f).b0;
  EXPECT_EQ(one.channels()[0], Channel{0.5f * b0});
  EXPECT_EQ(one.channels()[1], Channel{-1.0f * b0});

  // A block length of 0 counts as 1: one design per frame.
  AudioBuffer zero = make_buffer({x}, 44100);
  AudioBuffer unit = make_buffer({x}, 44100);
  ASSERT_TRUE(apply_filter_lanes(zero, {&lane, 1}, 0));
  ASSERT_TRUE(apply_filter_lanes(unit, {&lane, 1}, 1));
  EXPECT_EQ(zero.channels(), unit.channels());
  EXPECT_NE(zero.channels(), buffer.channels());
}

TEST(FilterLanes, BassSwapOutgoingLaneAt44100) {
  FilterLane lane;
  lane.kind = FilterKind::HighPass;
  lane.cutoff = sweep(20.0f, 180.0f, 0.45f, 0.55f, CurveShape::Exponential);
  // 3201 frames: block k starts at t = k / 100.
  constexpr std::size_t frames = 3201;
  const auto at20 = impulse_response(design(FilterKind::HighPass, 44100.0f, 20.0f), 32);
  const auto at180 = impulse_response(design(FilterKind::HighPass, 44100.0f, 180.0f), 32);
  for (std::size_t k : {0, 20, 44, 45}) EXPECT_EQ(block_response(lane, frames, 44100, k), at20) << k;
  for (std::size_t k : {55, 56, 80}) EXPECT_EQ(block_response(lane, frames, 44100, k), at180) << k;
  // The last block holds the last frame alone.
  EXPECT_EQ(block_response(lane, frames, 44100, 100), std::vector<float>{at180[0]});

  // Halfway, the geometric midpoint: a high-pass's b0 falls as its cutoff rises.
  const float b0 = block_response(lane, frames, 44100, 50)[0];
  EXPECT_LT(b0, design(FilterKind::HighPass, 44100.0f, 59.9f).b0);
  EXPECT_GT(b0, design(FilterKind::HighPass, 44100.0f, 60.1f).b0);
}

TEST(FilterLanes, ProgressWarpKeepsItsRunningMaximum) {
  // The cutoff reaches 4000 Hz at t = 0.1; the progress rises to 0.5 at
  // t = 0.5 and falls back to 0.2. From t = 0.5 on the warp stays at 0.5:
  // 1000 * (4000 / 1000)^0.5 = 2000 Hz.
  FilterLane lane;
  lane.kind = FilterKind::LowPass;
  lane.cutoff = sweep(1000.0f, 4000.0f, 0.0f, 0.1f, CurveShape::Linear);
  lane.progress = Automation{{{0.0f, 0.0f}, {0.5f, 0.5f}, {1.0f, 0.2f}}};
  constexpr std::size_t frames = 3201;
  const auto at2000 = impulse_response(design(FilterKind::LowPass, 44100.0f, 2000.0f), 32);
  for (std::size_t k : {50, 75, 99}) EXPECT_EQ(block_response(lane, frames, 44100, k), at2000) << k;
  // Still rising at t = 0.25: 1000 * 4^0.25.
  EXPECT_EQ(block_response(lane, frames, 44100, 25),
            impulse_response(design(FilterKind::LowPass, 44100.0f, 1000.0f * std::pow(4.0f, 0.25f)), 32));
}

TEST(FilterLanes, NoProgressKeepsTheCutoffAtItsStart) {
  // The filtered blend's low-pass with a progress of 0, or one that never
  // reads as a number, stays at its cutoff at t = 0.
  const Channel x = white_noise(2000, 5);
  for (float p : {0.0f, kNaN, -2.0f}) {
    SCOPED_TRACE(p);
    FilterLane lane;
    lane.kind = FilterKind::LowPass;
    lane.cutoff = sweep(18000.0f, 400.0f, 0.3f, 1.0f, CurveShape::SCurveExponential);
    lane.progress = Automation{{{0.0f, p}}};
    AudioBuffer buffer = make_buffer({x}, 44100);
    ASSERT_TRUE(apply_filter_lanes(buffer, {&lane, 1}, 32));
    EXPECT_EQ(buffer.channels()[0], reference(x, {design(FilterKind::LowPass, 44100.0f, 18000.0f)}));
  }
}

TEST(FilterLanes, LanesRunInOrderAndAFailingLaneStopsTheStep) {
  const Channel x = white_noise(500, 6);
  const FilterLane low = constant_lane(FilterKind::LowPass, 1000.0f);
  const FilterLane high = constant_lane(FilterKind::HighPass, 200.0f);
  const auto after_low = reference(x, {design(FilterKind::LowPass, 44100.0f, 1000.0f)});

  AudioBuffer both = make_buffer({x}, 44100);
  ASSERT_TRUE(apply_filter_lanes(both, std::vector{low, high}, 32));
  EXPECT_EQ(both.channels()[0], reference(after_low, {design(FilterKind::HighPass, 44100.0f, 200.0f)}));

  FilterLane zero_q = high;
  zero_q.q = 0.0f;
  FilterLane nan_cutoff = high;
  nan_cutoff.cutoff.points.push_back({0.5f, kNaN, CurveShape::Linear});
  FilterLane no_cutoff = high;
  no_cutoff.cutoff.points.clear();
  struct Case {
    FilterLane second;
    const char* text;
  };
  const Case cases[] = {
      {zero_q, "dsp failure: filter Q must be positive"},
      {nan_cutoff, "dsp failure: invalid frequency NaN: NegativeFrequency"},
      {no_cutoff, "dsp failure: invalid frequency NaN: NegativeFrequency"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    AudioBuffer buffer = make_buffer({x}, 44100);
    EXPECT_EQ(error_text(apply_filter_lanes(buffer, std::vector{low, c.second}, 32)), c.text);
    // The first lane filtered; the failing one touched nothing, since every
    // design is made before any sample is filtered.
    EXPECT_EQ(buffer.channels()[0], after_low);
  }

  AudioBuffer untouched = make_buffer({x}, 44100);
  ASSERT_TRUE(apply_filter_lanes(untouched, {}, 32));
  EXPECT_EQ(untouched.channels()[0], x);
}

TEST(FilterLanes, QIsCheckedFirstEvenForAnEmptyBuffer) {
  for (float q : {0.0f, -1.0f, kNaN}) {
    SCOPED_TRACE(q);
    AudioBuffer empty = make_buffer({Channel{}}, 44100);
    FilterLane lane = constant_lane(FilterKind::LowPass, kNaN);
    lane.q = q;
    EXPECT_EQ(error_text(apply_filter_lanes(empty, {&lane, 1}, 32)), "dsp failure: filter Q must be positive");
  }
  // With a valid Q an empty buffer has nothing to design or filter.
  AudioBuffer empty = make_buffer({Channel{}, Channel{}}, 44100);
  const FilterLane lane = constant_lane(FilterKind::LowPass, kNaN);
  EXPECT_TRUE(apply_filter_lanes(empty, {&lane, 1}, 32));
}

TEST(FilterLanes, RateTooLowForTheClampRangeFailsTheDesign) {
  // At 10 Hz the range [10, 4.5] is empty and 10 Hz lies above Nyquist.
  AudioBuffer buffer = make_buffer({Channel(4, 1.0f)}, 10);
  const FilterLane lane = constant_lane(FilterKind::LowPass, 5.0f);
  EXPECT_EQ(error_text(apply_filter_lanes(buffer, {&lane, 1}, 32)), "dsp failure: biquad coefficients: OutsideNyquist");
  EXPECT_EQ(buffer.channels()[0], Channel(4, 1.0f));
}

}  // namespace
}  // namespace segue
