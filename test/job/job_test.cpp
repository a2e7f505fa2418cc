#include "src/job/transition_job.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "test/support/grids.hpp"

namespace segue {
namespace {

// A track of `seconds` of a quiet tone with a regular grid.
TrackInput track(std::size_t channels, std::uint32_t rate, double seconds, float bpm = 120.0f) {
  TrackInput input;
  const auto frames = static_cast<std::size_t>(seconds * rate);
  for (std::size_t c = 0; c < channels; ++c) {
    Channel channel(frames);
    for (std::size_t f = 0; f < frames; ++f) channel[f] = 0.1f * std::sin(0.05f * static_cast<float>(f));
    input.channels.push_back(std::move(channel));
  }
  input.sample_rate = rate;
  input.bpm = bpm;
  auto [beats, downbeats] = fixtures::regular_beats(bpm, seconds);
  input.beats = std::move(beats);
  input.downbeats = std::move(downbeats);
  return input;
}

RenderTransitionTask task_of(TrackInput outgoing, TrackInput incoming) {
  RenderTransitionTask task;
  task.outgoing = std::move(outgoing);
  task.incoming = std::move(incoming);
  return task;
}

void expect_failure_values(const JsTransitionResult& result) {
  EXPECT_FALSE(result.rendered);
  EXPECT_TRUE(result.channels.empty());
  EXPECT_EQ(result.sampleRate, 0.0);
  EXPECT_EQ(result.duration, 0.0);
  EXPECT_EQ(result.beats, 0u);
  EXPECT_EQ(result.strategy, "");
  EXPECT_EQ(result.outgoingStart, 0.0);
  EXPECT_EQ(result.incomingStart, 0.0);
  EXPECT_EQ(result.outgoingResume, 0.0);
  EXPECT_EQ(result.incomingResume, 0.0);
  EXPECT_EQ(result.outgoingTempoRatio, 1.0);
  EXPECT_EQ(result.incomingTempoRatio, 1.0);
  EXPECT_EQ(result.targetBpm, 0.0);
  EXPECT_EQ(result.summary, "");
}

TEST(TransitionJob, FirstErrorOfTheStepOrderIsReported) {
  struct Case {
    const char* name;
    RenderTransitionTask task;
    const char* rejected;
  };
  std::vector<Case> cases;

  {  // Two bad tracks: only the outgoing one's error.
    TrackInput outgoing = track(2, 48000, 1);
    outgoing.channels.clear();
    TrackInput incoming = track(2, 48000, 1);
    incoming.sample_rate = 0;
    cases.push_back({"no channels", task_of(outgoing, incoming), "invalid audio: buffer needs at least one channel"});
  }
  {
    TrackInput outgoing = track(2, 48000, 1);
    outgoing.bpm = 0;
    cases.push_back({"bpm 0", task_of(outgoing, track(2, 48000, 1)),
                     "invalid beat analysis: bpm must be finite and positive, got 0"});
  }
  {  // Audio is checked before the grids.
    TrackInput outgoing = track(2, 48000, 1);
    outgoing.bpm = 0;
    TrackInput incoming = track(2, 48000, 1);
    incoming.channels[1].pop_back();
    cases.push_back({"audio first", task_of(outgoing, incoming), "invalid audio: channels differ in length"});
  }
  {
    RenderTransitionTask task = task_of(track(2, 48000, 1), track(2, 48000, 1));
    task.incoming_region.start = TimeWindow{10, 5};
    cases.push_back({"region", std::move(task),
                     "unsupported configuration: incoming start window ends before it begins: 10..=5"});
  }
  {
    RenderTransitionTask task = task_of(track(2, 48000, 1), track(2, 48000, 1));
    task.beat_lengths = std::vector<std::uint32_t>{};
    cases.push_back({"empty beat lengths", std::move(task),
                     "unsupported configuration: beat_lengths constraint is empty, which admits no transition"});
  }
  {
    TrackInput incoming = track(2, 48000, 1);
    for (Channel& channel : incoming.channels) channel.clear();
    cases.push_back({"no incoming audio", task_of(track(2, 48000, 1), incoming),
                     "invalid audio: both tracks must contain audio"});
  }
  cases.push_back({"2 and 6 channels", task_of(track(2, 48000, 1), track(6, 48000, 1)),
                   "channel count mismatch: outgoing has 2, incoming has 6, and neither is mono"});

  for (const Case& c : cases) {
    const JsTransitionResult result = compute(c.task);
    EXPECT_EQ(result.rejected, c.rejected) << c.name;
    expect_failure_values(result);
  }
}

TEST(TransitionJob, LeavesTheTaskIntact) {
  const RenderTransitionTask task = task_of(track(2, 48000, 2), track(1, 44100, 2));
  const RenderTransitionTask copy = task;
  (void)compute(task);
  EXPECT_EQ(task.outgoing.channels, copy.outgoing.channels);
  EXPECT_EQ(task.incoming.beats, copy.incoming.beats);
}

}  // namespace
}  // namespace segue

#include "src/job/render_format.hpp"

namespace segue {
namespace {

TEST(RenderFormat, SampleRateReconciliation) {
  PlannerConfig config = PlannerConfig::defaults(false);
  EXPECT_EQ(render_sample_rate(config, 44100, 48000).value(), 48000u);
  config.allow_resampling = false;
  EXPECT_EQ(render_sample_rate(config, 44100, 48000).error().to_text(),
            "sample rate mismatch: outgoing is 44100 Hz, incoming is 48000 Hz, and resampling is disabled");
  EXPECT_EQ(render_sample_rate(config, 48000, 48000).value(), 48000u);
  config.output_sample_rate = 22050;
  EXPECT_EQ(render_sample_rate(config, 44100, 48000).value(), 22050u);
}

TEST(RenderFormat, ChannelCountReconciliation) {
  EXPECT_EQ(render_channel_count(2, 2).value(), 2u);
  EXPECT_EQ(render_channel_count(1, 2).value(), 2u);
  EXPECT_EQ(render_channel_count(2, 1).value(), 2u);
  EXPECT_EQ(render_channel_count(6, 1).value(), 6u);
  EXPECT_EQ(render_channel_count(2, 6).error().to_text(),
            "channel count mismatch: outgoing has 2, incoming has 6, and neither is mono");
}

}  // namespace
}  // namespace segue
