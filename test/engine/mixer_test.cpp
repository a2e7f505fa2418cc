#include "engine/dsp/mixer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace segue {
namespace {

constexpr float kHalfPi = 1.5707964f;

AudioBuffer constant(std::size_t channels, std::size_t frames, std::uint32_t rate, float value) {
  return AudioBuffer::create(std::vector<Channel>(channels, Channel(frames, value)), rate).value();
}

Automation flat(float value) { return Automation{{{0.0f, value, CurveShape::SmoothStep}, {1.0f, value, CurveShape::SmoothStep}}}; }

// An unstretched equal-power crossfade with unity gains and no lanes.
TransitionPlan crossfade_plan(double duration, std::uint32_t rate) {
  TransitionPlan plan;
  plan.outgoing_gain = flat(1.0f);
  plan.incoming_gain = flat(1.0f);
  plan.outgoing_fade = FadeShape::EqualPower;
  plan.incoming_fade = FadeShape::EqualPower;
  plan.duration = duration;
  plan.channels = 2;
  plan.sample_rate = rate;
  plan.beats = 8;
  return plan;
}

TEST(Mixer, EqualPowerCrossfadeFollowsTheFormula) {
  const std::uint32_t rate = 1000;
  TransitionPlan plan = crossfade_plan(0.5, rate);
  plan.outgoing_start = 0.25;
  plan.incoming_start = 0.0;
  const AudioBuffer outgoing = constant(2, 1000, rate, 0.5f);
  const AudioBuffer incoming = constant(2, 1000, rate, 0.3f);
  RenderState state;
  auto rendered = render_overlap(plan, outgoing, incoming, std::nullopt, PlannerConfig::defaults(false), state);
  ASSERT_TRUE(rendered) << rendered.error().to_text();
  ASSERT_EQ(rendered->audio.frame_count(), 500u);
  ASSERT_EQ(rendered->audio.channel_count(), 2u);
  const float step = 1.0f / 499.0f;
  for (std::size_t i = 0; i < 500; i += 37) {
    const float t = std::fmin(1.0f, static_cast<float>(i) * step);
    const float expected = 0.0f + 0.5f * std::cos(t * kHalfPi) + 0.3f * std::sin(t * kHalfPi);
    EXPECT_FLOAT_EQ(rendered->audio.channel(1)[i], expected) << i;
  }
  EXPECT_DOUBLE_EQ(rendered->outgoing_resume, 0.75);
  EXPECT_DOUBLE_EQ(rendered->incoming_resume, 0.5);
}

TEST(Mixer, PlanChecks) {
  const AudioBuffer track = constant(2, 100, 44100, 0.1f);
  const struct {
    double duration;
    std::uint64_t channels;
    std::uint32_t rate;
    const char* text;
  } cases[] = {
      {0.00001, 2, 44100, "unsupported configuration: transition plan has no duration to render"},
      {-1.0, 2, 44100, "unsupported configuration: transition plan has no duration to render"},
      {1.0, 2, 0, "unsupported configuration: transition plan has no duration to render"},
      {1.0, 0, 44100, "unsupported configuration: transition plan must name a channel count and sample rate"},
  };
  for (const auto& c : cases) {
    TransitionPlan plan = crossfade_plan(c.duration, c.rate);
    plan.channels = c.channels;
    RenderState state;
    auto rendered = render_overlap(plan, track, track, std::nullopt, PlannerConfig::defaults(false), state);
    ASSERT_FALSE(rendered);
    EXPECT_EQ(rendered.error().to_text(), c.text);
  }
}

TEST(Mixer, LengthIsExactWhateverTheSourcesHold) {
  const std::uint32_t rate = 2000;
  TransitionPlan plan = crossfade_plan(1.2345, rate);
  plan.outgoing_start = 0.9;  // runs past the end of a 1 s source
  const AudioBuffer outgoing = constant(1, 2000, rate, 0.2f);
  const AudioBuffer incoming = constant(2, 300, rate, 0.2f);
  RenderState state;
  auto rendered = render_overlap(plan, outgoing, incoming, std::nullopt, PlannerConfig::defaults(false), state);
  ASSERT_TRUE(rendered) << rendered.error().to_text();
  EXPECT_EQ(rendered->audio.frame_count(), 2469u);  // round(1.2345 x 2000)
  EXPECT_EQ(rendered->audio.channel_count(), 2u);
  // Past both sources' ends the mix is silence.
  EXPECT_EQ(rendered->audio.channel(0)[2400], 0.0f);
}

TEST(Mixer, StretchedTracksResumeAfterTheMaterialTheyConsumed) {
  const std::uint32_t rate = 8000;
  TransitionPlan plan = crossfade_plan(8.0, rate);
  plan.outgoing_start = 1.0;
  plan.incoming_start = 2.0;
  plan.outgoing_ratio = 1.02f;
  plan.incoming_ratio = 1.0f;
  const AudioBuffer track = constant(2, 12 * rate, rate, 0.1f);
  RenderState state;
  auto rendered = render_overlap(plan, track, track, std::nullopt, PlannerConfig::defaults(false), state);
  ASSERT_TRUE(rendered) << rendered.error().to_text();
  EXPECT_DOUBLE_EQ(rendered->outgoing_resume, 1.0 + 8.0 * static_cast<double>(1.02f));
  EXPECT_DOUBLE_EQ(rendered->incoming_resume, 10.0);
  EXPECT_TRUE(state.stretcher.holds(2, rate));
}

TEST(Mixer, DuckCurveOnlyShapesAnOutgoingLowPass) {
  const std::uint32_t rate = 4000;
  const AudioBuffer outgoing = constant(2, 4 * rate, rate, 0.4f);
  const AudioBuffer incoming = constant(2, 4 * rate, rate, 0.2f);
  const std::vector<double> duck = {0.0, 1.0, 0.0, 1.0};

  TransitionPlan swap = crossfade_plan(1.0, rate);
  swap.outgoing_start = 1.0;
  swap.strategy = TransitionStrategy::BassSwap;
  swap.outgoing_filters = {FilterLane{sweep(20, 180, 0.45f, 0.55f, CurveShape::Exponential), std::nullopt,
                                      0.70710677f, 0.0f, FilterKind::HighPass}};
  TransitionPlan swap_ducked = swap;
  RenderState state;
  const PlannerConfig config = PlannerConfig::defaults(false);
  auto plain = render_overlap(swap, outgoing, incoming, std::nullopt, config, state);
  auto ducked = render_overlap(swap_ducked, outgoing, incoming, duck, config, state);
  ASSERT_TRUE(plain && ducked);
  EXPECT_EQ(plain->audio.channels(), ducked->audio.channels());
  EXPECT_FALSE(swap_ducked.outgoing_filters[0].progress);

  TransitionPlan blend = crossfade_plan(1.0, rate);
  blend.outgoing_start = 1.0;
  blend.outgoing_fade = FadeShape::SmoothStep;
  blend.outgoing_filters = {FilterLane{sweep(18000, 400, 0.3f, 1.0f, CurveShape::SCurveExponential), std::nullopt,
                                       0.70710677f, 0.0f, FilterKind::LowPass}};
  auto blended = render_overlap(blend, outgoing, incoming, duck, config, state);
  ASSERT_TRUE(blended);
  ASSERT_TRUE(blend.outgoing_filters[0].progress);
  // The transition covers 25 % to 50 % of the 4-element curve.
  EXPECT_EQ(blend.outgoing_filters[0].progress->points.size(), 2u);

  TransitionPlan empty_duck = blend;
  empty_duck.outgoing_filters[0].progress.reset();
  ASSERT_TRUE(render_overlap(empty_duck, outgoing, incoming, std::vector<double>{}, config, state));
  EXPECT_FALSE(empty_duck.outgoing_filters[0].progress);
}

TEST(PeakCeiling, LowersOnlyMixesAboveTheCeiling) {
  const float ceiling = std::pow(10.0f, -0.5f / 20.0f);
  AudioBuffer loud = AudioBuffer::create({Channel{0.5f, -1.5f}, Channel{1.0f, std::nanf("")}}, 100).value();
  apply_peak_ceiling(loud, true, -0.5f);
  const float gain = ceiling / 1.5f;
  EXPECT_EQ(loud.channel(0)[0], 0.5f * gain);
  EXPECT_EQ(loud.channel(0)[1], -1.5f * gain);
  EXPECT_EQ(loud.channel(1)[0], 1.0f * gain);
  EXPECT_NEAR(std::fabs(loud.channel(0)[1]), 0.9440609f, 1e-6f);

  AudioBuffer quiet = constant(2, 4, 100, 0.9f);
  apply_peak_ceiling(quiet, true, -0.5f);
  EXPECT_EQ(quiet.channel(0)[0], 0.9f);

  AudioBuffer silent = constant(1, 4, 100, 0.0f);
  apply_peak_ceiling(silent, true, -0.5f);
  EXPECT_EQ(silent.channel(0)[0], 0.0f);

  AudioBuffer disabled = constant(1, 4, 100, 1.5f);
  apply_peak_ceiling(disabled, false, -0.5f);
  EXPECT_EQ(disabled.channel(0)[0], 1.5f);
}

TEST(MixAdd, MultipliesThenAddsOverTheShortestLength) {
  AudioBuffer destination = AudioBuffer::create({Channel{1, 1, 1}}, 100).value();
  const AudioBuffer source = AudioBuffer::create({Channel{2, 3, 4}, Channel{9, 9, 9}}, 100).value();
  const std::vector<float> envelope = {0.5f, 0.25f};
  mix_add(destination, source, envelope);
  EXPECT_EQ(destination.channels()[0], (Channel{2.0f, 1.75f, 1.0f}));
}

}  // namespace
}  // namespace segue
