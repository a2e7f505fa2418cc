// The whole job on synthetic tracks: a request that fits renders real audio
// whose every field agrees with the plan.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "src/job/transition_job.hpp"

#include "test/support/grids.hpp"

namespace segue {
namespace {

// Kick on every beat, a hat on the off-beats and a bass note per bar, at a
// low rate to keep the render quick. Beats and downbeats are exact.
TrackInput drum_track(float bpm, std::uint32_t rate, double seconds, std::size_t channels, float pitch_hz) {
  TrackInput track;
  track.sample_rate = rate;
  track.bpm = bpm;
  const double period = 60.0 / bpm;
  const auto frames = static_cast<std::size_t>(seconds * rate);
  Channel mono(frames, 0.0f);
  for (std::size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / rate;
    const double beat_phase = std::fmod(t, period);
    const double kick = std::exp(-beat_phase * 30.0) * std::sin(2.0 * M_PI * 55.0 * beat_phase);
    const double off_phase = std::fmod(t + period / 2, period);
    const double hat = std::exp(-off_phase * 80.0) * std::sin(2.0 * M_PI * 1800.0 * t) * 0.3;
    const double bass = 0.2 * std::sin(2.0 * M_PI * pitch_hz * t);
    mono[f] = static_cast<float>(0.5 * kick + hat + bass);
  }
  track.channels.assign(channels, mono);
  auto [beats, downbeats] = fixtures::regular_beats(bpm, seconds);
  track.beats = std::move(beats);
  track.downbeats = std::move(downbeats);
  return track;
}

RenderTransitionTask standard_task() {
  RenderTransitionTask task;
  task.outgoing = drum_track(124.0f, 8000, 40.0, 2, 82.4f);
  task.incoming = drum_track(128.0f, 8000, 40.0, 2, 110.0f);
  return task;
}

void expect_consistent(const JsTransitionResult& result, std::size_t channels, double rate) {
  ASSERT_TRUE(result.rendered) << result.rejected;
  EXPECT_EQ(result.rejected, "");
  EXPECT_EQ(result.sampleRate, rate);
  ASSERT_EQ(result.channels.size(), channels);
  const auto frames = static_cast<std::size_t>(std::round(result.duration * rate));
  float peak = 0.0f;
  for (const Channel& channel : result.channels) {
    ASSERT_EQ(channel.size(), frames);
    for (const float sample : channel) {
      ASSERT_TRUE(std::isfinite(sample));
      peak = std::fmax(peak, std::fabs(sample));
    }
  }
  EXPECT_GT(peak, 0.01f);
  EXPECT_LE(peak, std::pow(10.0f, -0.5f / 20.0f));  // the peak ceiling
  EXPECT_EQ(result.duration, result.beats * 60.0 / static_cast<double>(static_cast<float>(result.targetBpm)));
  EXPECT_NEAR(result.outgoingResume - result.outgoingStart, result.duration * result.outgoingTempoRatio, 1e-9);
  EXPECT_NEAR(result.incomingResume - result.incomingStart, result.duration * result.incomingTempoRatio, 1e-9);
  EXPECT_TRUE(result.summary.starts_with("Selected " + std::to_string(result.beats) + "-beat transition\n"));
  EXPECT_NE(result.summary.find("Strategy: " + result.strategy + "\n"), std::string::npos);
}

TEST(RenderJob, RendersATransitionBetweenTwoTracks) {
  const JsTransitionResult result = compute(standard_task());
  expect_consistent(result, 2, 8000);
  // 124 against 128 BPM: the incoming tempo is the target, the outgoing track speeds up.
  EXPECT_EQ(result.targetBpm, 128.0);
  EXPECT_EQ(result.incomingTempoRatio, 1.0);
  EXPECT_EQ(result.outgoingTempoRatio, static_cast<double>(128.0f / 124.0f));
  EXPECT_GE(result.outgoingStart, 40.0 - 45.0);
  EXPECT_NE(result.summary.find("Tempo: 124.0 -> 128.0 BPM (+3.2%)\n"), std::string::npos) << result.summary;
}

TEST(RenderJob, ReconcilesRatesAndChannels) {
  RenderTransitionTask task = standard_task();
  task.outgoing = drum_track(124.0f, 6000, 40.0, 1, 82.4f);  // mono at another rate
  expect_consistent(compute(task), 2, 8000);

  task = standard_task();
  task.incoming = drum_track(128.0f, 8000, 40.0, 1, 110.0f);
  expect_consistent(compute(task), 2, 8000);
}

TEST(RenderJob, DiagnosticsAddTheScoreLines) {
  RenderTransitionTask task = standard_task();
  task.diagnostics = true;
  const JsTransitionResult result = compute(task);
  ASSERT_TRUE(result.rendered) << result.rejected;
  EXPECT_NE(result.summary.find("\ntempo compatibility:    "), std::string::npos);
  EXPECT_TRUE(result.summary.ends_with("\n"));
  EXPECT_NE(result.summary.find("\ntotal:                  "), std::string::npos);
}

TEST(RenderJob, ConstraintsThatAdmitNothingAreExplained) {
  RenderTransitionTask task = standard_task();
  task.beat_lengths = std::vector<std::uint32_t>{3};
  task.outgoing_region.start = TimeWindow{12.5, 20};  // 4 downbeats x 16 incoming starts x 4 lengths
  const JsTransitionResult result = compute(task);
  EXPECT_FALSE(result.rendered);
  EXPECT_EQ(result.rejected,
            "no viable transition found: no transition fits: 256 combinations were rejected for a 40.0s outgoing "
            "track and a 40.0s incoming track, with outgoing start in 12.50..=20.00s, beat lengths [3]");
}

TEST(RenderJob, ConcurrentJobsMatchTheSameJobAlone) {
  const RenderTransitionTask task = standard_task();
  const JsTransitionResult alone = compute(task);
  ASSERT_TRUE(alone.rendered) << alone.rejected;
  std::vector<JsTransitionResult> results(2);
  std::vector<std::thread> threads;
  for (auto& slot : results) threads.emplace_back([&task, &slot] { slot = compute(task); });
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) {
    EXPECT_EQ(result.channels, alone.channels);
    EXPECT_EQ(result.summary, alone.summary);
  }
}

}  // namespace
}  // namespace segue
