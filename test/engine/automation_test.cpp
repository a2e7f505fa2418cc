#include "engine/dsp/automation.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace segue {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<AutomationPoint> segment(float from, float to, CurveShape shape) {
  return {{0.0f, from, shape}, {1.0f, to, shape}};
}

float at(const std::vector<AutomationPoint>& points, float t) {
  return value_at(points, segment_index(points, t), t);
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out;
  for (float v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}

TEST(Automation, SegmentShapes) {
  struct Case {
    CurveShape shape;
    float from, to, u, expected;
  };
  const Case cases[] = {
      {CurveShape::Linear, 2.0f, 6.0f, 0.25f, 3.0f},
      {CurveShape::SmoothStep, 0.0f, 1.0f, 0.25f, 0.15625f},
      {CurveShape::SmoothStep, 0.0f, 1.0f, 0.5f, 0.5f},
      {CurveShape::EaseOut, 0.0f, 1.0f, 0.5f, 0.70710678f},
      {CurveShape::EaseIn, 0.0f, 1.0f, 0.5f, 0.29289322f},
      {CurveShape::Exponential, 100.0f, 400.0f, 0.5f, 200.0f},
      {CurveShape::Exponential, 20.0f, 180.0f, 0.5f, 60.0f},
      // The geometric midpoint of the filtered blend's low-pass, sqrt(18000 * 400).
      {CurveShape::SCurveExponential, 18000.0f, 400.0f, 0.5f, 2683.2816f},
      // An unknown code moves linearly.
      {static_cast<CurveShape>(9), 0.0f, 10.0f, 0.3f, 3.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.shape));
    const auto points = segment(c.from, c.to, c.shape);
    EXPECT_NEAR(value_at(points, 0, c.u), c.expected, std::fabs(c.expected) * 1e-5f + 1e-6f);
    // Every shape starts at its start value and ends at its end value, and
    // positions outside the segment hold the nearer end.
    EXPECT_NEAR(value_at(points, 0, 0.0f), c.from, std::fabs(c.from) * 1e-5f + 1e-6f);
    EXPECT_NEAR(value_at(points, 0, 1.0f), c.to, std::fabs(c.to) * 1e-5f + 1e-6f);
    EXPECT_EQ(value_at(points, 0, -3.0f), value_at(points, 0, 0.0f));
    EXPECT_EQ(value_at(points, 0, 7.0f), value_at(points, 0, 1.0f));
    // The last point holds its value.
    EXPECT_EQ(value_at(points, 1, 0.0f), c.to);
  }
}

TEST(Automation, ExponentialShapesFallBackToLinearWithoutTwoPositiveEnds) {
  // Towards 0 or from a negative value the geometric form is undefined.
  EXPECT_FLOAT_EQ(value_at(segment(100.0f, 0.0f, CurveShape::Exponential), 0, 0.25f), 75.0f);
  EXPECT_FLOAT_EQ(value_at(segment(-1.0f, 3.0f, CurveShape::Exponential), 0, 0.5f), 1.0f);
  // The S-curve falls back to linear over its warped fraction, not over u:
  // u = 0.25 warps to (1/(1 + e^1.5) - 1/(1 + e^3)) / 0.90514827 = 0.149156.
  EXPECT_NEAR(value_at(segment(100.0f, 0.0f, CurveShape::SCurveExponential), 0, 0.25f), 85.0844f, 1e-3f);
  EXPECT_FLOAT_EQ(value_at(segment(100.0f, 0.0f, CurveShape::SCurveExponential), 0, 0.5f), 50.0f);
}

TEST(Automation, SegmentIndexLastOfSharedPositionsWins) {
  const std::vector<AutomationPoint> points = {
      {0.0f, 1.0f}, {0.5f, 2.0f}, {0.5f, 3.0f}, {1.0f, 4.0f}};
  EXPECT_EQ(segment_index(points, -1.0f), 0u);
  EXPECT_EQ(segment_index(points, kNaN), 0u);
  EXPECT_EQ(segment_index(points, 0.0f), 0u);
  EXPECT_EQ(segment_index(points, 0.4999f), 0u);
  EXPECT_EQ(segment_index(points, 0.5f), 2u);
  EXPECT_EQ(segment_index(points, 1.0f), 3u);
  EXPECT_EQ(segment_index(points, 2.0f), 3u);
  // A value that jumps takes its new value at the shared position; before it
  // the first segment still glides towards the value the jump starts from.
  EXPECT_FLOAT_EQ(at(points, 0.5f), 3.0f);
  EXPECT_FLOAT_EQ(at(points, 0.25f), 1.5f);
}

TEST(Automation, SweepEndBeforeStartJumpsAtStart) {
  const Automation a = sweep(20.0f, 180.0f, 0.6f, 0.4f, CurveShape::Exponential);
  ASSERT_EQ(a.points.size(), 4u);
  EXPECT_EQ(a.points[1].position, 0.6f);
  EXPECT_EQ(a.points[2].position, 0.6f);
  EXPECT_EQ(at(a.points, 0.0f), 20.0f);
  EXPECT_EQ(at(a.points, 0.5999f), 20.0f);
  EXPECT_EQ(at(a.points, 0.6f), 180.0f);
  EXPECT_EQ(at(a.points, 1.0f), 180.0f);
}

TEST(Automation, SweepFromZeroHoldsOnlyAtZero) {
  const Automation a = sweep(1.0f, 0.0f, 0.0f, 0.5f, CurveShape::Linear);
  ASSERT_EQ(a.points.size(), 4u);
  EXPECT_EQ(at(a.points, 0.0f), 1.0f);
  EXPECT_FLOAT_EQ(at(a.points, 0.25f), 0.5f);
  EXPECT_LT(at(a.points, 0.01f), 1.0f);
  EXPECT_EQ(at(a.points, 0.75f), 0.0f);
}

TEST(Automation, SweepPoints) {
  // Ending at 1 needs no closing point; positions are clamped into [0, 1].
  const Automation blend = sweep(18000.0f, 400.0f, 0.3f, 1.0f, CurveShape::SCurveExponential);
  ASSERT_EQ(blend.points.size(), 3u);
  EXPECT_EQ(blend.points[0].shape, CurveShape::Exponential);
  EXPECT_EQ(blend.points[1].shape, CurveShape::SCurveExponential);
  EXPECT_EQ(blend.points[2].position, 1.0f);
  EXPECT_EQ(at(blend.points, 0.3f), 18000.0f);
  EXPECT_NEAR(at(blend.points, 0.65f), 2683.28f, 0.05f);

  const Automation clamped = sweep(1.0f, 2.0f, -0.5f, 3.0f, CurveShape::Linear);
  ASSERT_EQ(clamped.points.size(), 3u);
  EXPECT_EQ(clamped.points[1].position, 0.0f);
  EXPECT_EQ(clamped.points[2].position, 1.0f);

  // A NaN start must not leave a NaN position in the list.
  const Automation nan_start = sweep(1.0f, 2.0f, kNaN, 0.5f, CurveShape::Linear);
  for (const auto& p : nan_start.points) EXPECT_FALSE(std::isnan(p.position));
  EXPECT_FLOAT_EQ(at(nan_start.points, 0.25f), 1.5f);
}

TEST(Automation, CursorMatchesSegmentIndex) {
  // Shared positions at 0 and 0.5 are where a cursor could stop too early.
  std::vector<AutomationPoint> points = sweep(20.0f, 180.0f, 0.0f, 0.5f, CurveShape::SmoothStep).points;
  points.insert(points.end() - 1, {0.5f, 90.0f, CurveShape::EaseIn});
  AutomationCursor cursor(points);
  const std::size_t frames = 257;
  for (std::size_t i = 0; i < frames; ++i) {
    const float t = static_cast<float>(i) * (1.0f / static_cast<float>(frames - 1));
    const float expected = at(points, t);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(cursor.advance(t)), std::bit_cast<std::uint32_t>(expected)) << t;
  }
}

TEST(Automation, FadesOverFiveFrames) {
  GainEnvelope env;
  fade_out(env, 5, FadeShape::Linear);
  EXPECT_EQ(env.envelope, (std::vector<float>{1.0f, 0.75f, 0.5f, 0.25f, 0.0f}));
  fade_in(env, 5, FadeShape::Linear);
  EXPECT_EQ(env.envelope, (std::vector<float>{0.0f, 0.25f, 0.5f, 0.75f, 1.0f}));

  fade_in(env, 5, FadeShape::SmoothStep);
  EXPECT_EQ(env.envelope, (std::vector<float>{0.0f, 0.15625f, 0.5f, 0.84375f, 1.0f}));
  // Codes above 2 behave as SmoothStep.
  fade_out(env, 5, static_cast<FadeShape>(7));
  EXPECT_EQ(env.envelope, (std::vector<float>{1.0f, 0.84375f, 0.5f, 0.15625f, 0.0f}));

  // Equal power: the two fades' powers add up to one at every frame.
  GainEnvelope out, in;
  fade_out(out, 5, FadeShape::EqualPower);
  fade_in(in, 5, FadeShape::EqualPower);
  ASSERT_EQ(out.envelope.size(), 5u);
  ASSERT_EQ(in.envelope.size(), 5u);
  EXPECT_EQ(out.envelope.front(), 1.0f);
  EXPECT_EQ(in.envelope.back(), 1.0f);
  EXPECT_NEAR(out.envelope[2], 0.70710678f, 1e-6f);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_NEAR(out.envelope[i] * out.envelope[i] + in.envelope[i] * in.envelope[i], 1.0f, 1e-6f);
  }
}

TEST(Automation, OneFrameRender) {
  GainEnvelope env;
  fade_out(env, 1, FadeShape::Linear);
  EXPECT_EQ(env.envelope, std::vector<float>{0.0f});
  fade_out(env, 1, FadeShape::SmoothStep);
  EXPECT_EQ(env.envelope, std::vector<float>{0.0f});
  fade_out(env, 1, FadeShape::EqualPower);
  EXPECT_EQ(env.envelope, std::vector<float>{std::cos(1.5707964f)});
  for (FadeShape shape : {FadeShape::Linear, FadeShape::EqualPower, FadeShape::SmoothStep}) {
    fade_in(env, 1, shape);
    EXPECT_EQ(env.envelope, std::vector<float>{1.0f});
  }

  // The single frame reads the automation at t = 0.
  env.envelope = {2.0f};
  apply_automation(env, segment(0.3f, 0.9f, CurveShape::Linear), 1);
  EXPECT_EQ(env.envelope, std::vector<float>{0.6f});
}

TEST(Automation, FlatAutomationAtOneLeavesEnvelopeBitIdentical) {
  // A signalling NaN and a negative zero show any multiplication, even by 1.
  GainEnvelope env;
  env.envelope = {std::numeric_limits<float>::signaling_NaN(), -0.0f, 0.3f, 1e-40f};
  env.automation_values = {7.0f};
  const auto before = bits(env.envelope);
  apply_automation(env, segment(1.0f, 1.0f, CurveShape::SmoothStep), 4);
  EXPECT_EQ(bits(env.envelope), before);
  // No per-frame evaluation took place.
  EXPECT_EQ(env.automation_values, std::vector<float>{7.0f});
}

TEST(Automation, FlatAutomationScalesTheWholeEnvelope) {
  GainEnvelope env;
  env.envelope = {1.0f, 0.5f, 0.25f, 2.0f, 4.0f};
  env.automation_values = {7.0f};
  const std::vector<AutomationPoint> half = {{0.0f, 0.5f}, {0.5f, 0.5f, CurveShape::Exponential}, {1.0f, 0.5f}};
  apply_automation(env, half, 3);
  // Every element, even past the rendered frames.
  EXPECT_EQ(env.envelope, (std::vector<float>{0.5f, 0.25f, 0.125f, 1.0f, 2.0f}));
  EXPECT_EQ(env.automation_values, std::vector<float>{7.0f});
}

TEST(Automation, NaNValuesAreNotFlat) {
  GainEnvelope env;
  env.envelope = {1.0f, 1.0f, 1.0f};
  apply_automation(env, segment(kNaN, kNaN, CurveShape::Linear), 3);
  EXPECT_EQ(env.automation_values.size(), 3u);
  for (float v : env.envelope) EXPECT_TRUE(std::isnan(v));
}

TEST(Automation, GainGlideFrameByFrame) {
  GainEnvelope env;
  fade_out(env, 5, FadeShape::Linear);
  apply_automation(env, segment(1.0f, 0.5f, CurveShape::SmoothStep), 5);
  // Gains 1, 1 - 0.5 * 0.15625, 0.75, 1 - 0.5 * 0.84375, 0.5 on the fade.
  const std::vector<float> expected = {1.0f, 0.75f * 0.921875f, 0.5f * 0.75f, 0.25f * 0.578125f, 0.0f};
  ASSERT_EQ(env.envelope.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(env.envelope[i], expected[i]) << i;

  // A shorter envelope is multiplied only as far as it reaches; a longer one
  // keeps its tail.
  env.envelope = {1.0f, 1.0f};
  apply_automation(env, segment(0.0f, 1.0f, CurveShape::Linear), 5);
  EXPECT_EQ(env.envelope, (std::vector<float>{0.0f, 0.25f}));
  env.envelope = {1.0f, 1.0f, 1.0f, 9.0f};
  apply_automation(env, segment(0.0f, 1.0f, CurveShape::Linear), 3);
  EXPECT_EQ(env.envelope, (std::vector<float>{0.0f, 0.5f, 1.0f, 9.0f}));
}

TEST(Automation, EnvelopeListsKeepTheirCapacity) {
  GainEnvelope env;
  env.envelope.reserve(64);
  env.automation_values.reserve(64);
  const float* envelope_data = env.envelope.data();
  const float* values_data = env.automation_values.data();

  fade_out(env, 64, FadeShape::EqualPower);
  apply_automation(env, segment(1.0f, 0.25f, CurveShape::SmoothStep), 64);
  fade_in(env, 10, FadeShape::Linear);
  apply_automation(env, segment(0.25f, 1.0f, CurveShape::SmoothStep), 10);

  EXPECT_EQ(env.envelope.size(), 10u);
  EXPECT_EQ(env.automation_values.size(), 10u);
  EXPECT_EQ(env.envelope.data(), envelope_data);
  EXPECT_EQ(env.automation_values.data(), values_data);
  EXPECT_GE(env.envelope.capacity(), 64u);
  EXPECT_GE(env.automation_values.capacity(), 64u);
}

TEST(Automation, SampleDuckCurve) {
  const std::vector<double> values = {0.0, 10.0, 30.0};
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, 0.25), 5.0);
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, 0.75), 20.0);
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, -1.0), 0.0);
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, 1.0), 30.0);
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, 5.0), 30.0);
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, std::nan("")), 0.0);
  EXPECT_DOUBLE_EQ(sample_duck_curve(values, std::numeric_limits<double>::infinity()), 0.0);
}

TEST(Automation, DuckCurvePointsAcrossTheTransition) {
  // A ramp over the track reads back the track fraction itself.
  std::vector<double> ramp(1000);
  for (std::size_t k = 0; k < ramp.size(); ++k) ramp[k] = static_cast<double>(k) / 999.0;

  const auto points = duck_curve_points(ramp, 0.25, 0.375);
  ASSERT_TRUE(points);
  ASSERT_EQ(points->points.size(), 125u);
  for (std::size_t j = 0; j < 125; ++j) {
    const auto& p = points->points[j];
    const double u = static_cast<double>(j) / 124.0;
    EXPECT_EQ(p.position, static_cast<float>(u));
    EXPECT_NEAR(p.value, 0.25 + u * 0.125, 1e-6);
    EXPECT_EQ(p.shape, CurveShape::Linear);
  }
  EXPECT_EQ(points->points.front().position, 0.0f);
  EXPECT_EQ(points->points.back().position, 1.0f);

  // Never fewer than two points, never more than the curve has.
  const std::vector<double> ten(10, 0.5);
  EXPECT_EQ(duck_curve_points(ten, 0.5, 0.51)->points.size(), 2u);
  EXPECT_EQ(duck_curve_points(ten, -1.0, 2.0)->points.size(), 10u);
}

TEST(Automation, DuckCurveDegenerateInputs) {
  EXPECT_FALSE(duck_curve_points({}, 0.0, 1.0));

  struct Case {
    std::vector<double> values;
    double a, b;
    float expected;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {{0.7}, 0.2, 0.4, 0.7f},
      {{-3.0}, 0.2, 0.4, 0.0f},
      {{4.0}, 0.2, 0.4, 1.0f},
      {{std::nan("")}, 0.2, 0.4, 1.0f},
      {{inf}, 0.2, 0.4, 1.0f},
      // Wholly past the end of the track: the last value.
      {{0.0, 0.9, 0.4}, 1.2, 1.5, 0.4f},
      // An end before the start: the value at the start.
      {{0.0, 1.0}, 0.5, 0.25, 0.5f},
      // A NaN start reads the first value.
      {{0.2, 1.0}, std::nan(""), 0.5, 0.2f},
      {{0.2, 1.0}, 0.0, std::nan(""), 0.2f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a);
    const auto points = duck_curve_points(c.values, c.a, c.b);
    ASSERT_TRUE(points);
    ASSERT_EQ(points->points.size(), 1u);
    EXPECT_EQ(points->points[0].position, 0.0f);
    EXPECT_FLOAT_EQ(points->points[0].value, c.expected);
  }
}

}  // namespace
}  // namespace segue
