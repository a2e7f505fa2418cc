// The job on inputs at and past the edges of what the binding lets through
// (rates of 1 Hz and 2^32 - 1 Hz, non-finite samples, extreme tempos and
// beat times, huge lists): every one ends in a result that agrees with
// itself or in an engine rejection. The sanitized build runs these under
// AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer, which is
// where a bad index, a leak or an overflowing conversion would show.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "src/job/transition_job.hpp"

#include "test/support/grids.hpp"

namespace segue {
namespace {

constexpr double kHuge = std::numeric_limits<double>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TrackInput tone(std::uint32_t rate, std::size_t frames, float bpm, std::size_t channels = 1, float step = 0.05f) {
  TrackInput track;
  track.sample_rate = rate;
  track.bpm = bpm;
  Channel samples(frames);
  for (std::size_t f = 0; f < frames; ++f) samples[f] = 0.3f * std::sin(step * static_cast<float>(f));
  track.channels.assign(channels, samples);
  const double seconds = static_cast<double>(frames) / rate;
  auto [beats, downbeats] = fixtures::regular_beats(bpm, seconds);
  track.beats = std::move(beats);
  track.downbeats = std::move(downbeats);
  return track;
}

// Two 6-second tracks at 1000 Hz that render (equal tempos: no stretching,
// so the sanitized build stays quick).
RenderTransitionTask base_task() {
  RenderTransitionTask task;
  task.outgoing = tone(1000, 6000, 120.0f, 2);
  task.incoming = tone(1000, 6000, 120.0f, 2, 0.11f);
  return task;
}

std::vector<double> ramp(std::size_t count, double step) {
  std::vector<double> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<double>(i) * step;
  return values;
}

struct Case {
  const char* name;
  std::function<void(RenderTransitionTask&)> change;
  bool finite_input = true;
  const char* rejected_prefix = nullptr;  // the result must be this rejection
};

void expect_coherent(const JsTransitionResult& result, const Case& c) {
  if (c.rejected_prefix != nullptr) {
    EXPECT_FALSE(result.rendered);
    EXPECT_TRUE(result.rejected.starts_with(c.rejected_prefix)) << result.rejected;
  }
  if (!result.rendered) {
    EXPECT_FALSE(result.rejected.empty());
    EXPECT_TRUE(result.channels.empty());
    EXPECT_EQ(result.sampleRate, 0.0);
    EXPECT_EQ(result.outgoingTempoRatio, 1.0);
    return;
  }
  EXPECT_EQ(result.rejected, "");
  ASSERT_GT(result.sampleRate, 0.0);
  ASSERT_TRUE(std::isfinite(result.duration) && result.duration > 0.0) << result.duration;
  for (const double seconds : {result.outgoingStart, result.incomingStart, result.outgoingResume, result.incomingResume}) {
    EXPECT_TRUE(std::isfinite(seconds) && seconds >= 0.0) << seconds;
  }
  const auto frames = static_cast<std::size_t>(std::round(result.duration * result.sampleRate));
  ASSERT_FALSE(result.channels.empty());
  const float ceiling = std::pow(10.0f, -0.5f / 20.0f);
  for (const Channel& channel : result.channels) {
    ASSERT_EQ(channel.size(), frames);
    if (!c.finite_input) continue;
    for (const float sample : channel) ASSERT_TRUE(std::isfinite(sample) && std::fabs(sample) <= ceiling) << sample;
  }
}

TEST(HostileInput, EveryRequestEndsInACoherentResultOrARejection) {
  const std::vector<Case> cases = {
      {"the base request", [](RenderTransitionTask&) {}},
      {"1 Hz tracks", [](RenderTransitionTask& t) {
         t.outgoing = tone(1, 12, 120.0f);
         t.incoming = tone(1, 12, 120.0f);
       }},
      {"a 1 Hz track into a 1000 Hz one", [](RenderTransitionTask& t) { t.outgoing = tone(1, 30, 120.0f); }},
      {"a 1000 Hz track into a 1 Hz one", [](RenderTransitionTask& t) { t.incoming = tone(1, 30, 120.0f); }},
      {"rates of 2^32 - 1 Hz", [](RenderTransitionTask& t) {
         t.outgoing.sample_rate = std::numeric_limits<std::uint32_t>::max();
         t.incoming.sample_rate = std::numeric_limits<std::uint32_t>::max();
       }},
      {"an incoming rate of 2^32 - 1 Hz", [](RenderTransitionTask& t) {
         t.incoming.sample_rate = std::numeric_limits<std::uint32_t>::max();
       }},
      {"one frame each", [](RenderTransitionTask& t) {
         t.outgoing = tone(1000, 1, 120.0f);
         t.incoming = tone(1000, 1, 120.0f);
       }},
      {"no frames", [](RenderTransitionTask& t) { t.incoming = tone(1000, 0, 120.0f, 2); }, true,
       "invalid audio: both tracks must contain audio"},
      {"NaN samples", [](RenderTransitionTask& t) { t.outgoing.channels[1].assign(6000, kNaN); }, false},
      {"infinite samples", [](RenderTransitionTask& t) {
         t.incoming.channels[0][2500] = kInf;
         t.incoming.channels[1][100] = -kInf;
       }, false},
      {"samples at the float limit", [](RenderTransitionTask& t) {
         t.outgoing.channels[0].assign(6000, std::numeric_limits<float>::max());
         t.incoming.channels[0].assign(6000, -std::numeric_limits<float>::max());
       }, false},
      {"bpm 1e-30", [](RenderTransitionTask& t) { t.outgoing.bpm = 1e-30f; }},
      {"bpm 1e30 both", [](RenderTransitionTask& t) { t.outgoing.bpm = t.incoming.bpm = 1e30f; }},
      {"bpm at the float limit", [](RenderTransitionTask& t) { t.incoming.bpm = std::numeric_limits<float>::max(); }},
      {"the smallest bpm", [](RenderTransitionTask& t) {
         t.outgoing.bpm = t.incoming.bpm = std::numeric_limits<float>::denorm_min();
       }},
      {"100,000 beats", [](RenderTransitionTask& t) {
         t.outgoing.beats = ramp(100000, 6e-5);
         t.incoming.beats = ramp(100000, 6e-5);
         t.incoming.downbeats = ramp(25000, 24e-5);
       }},
      {"beats at 1e300 s and at the double limit", [](RenderTransitionTask& t) {
         t.outgoing.beats = {0.0, 0.5, 1e300, kHuge};
         t.outgoing.downbeats = {0.0, kHuge};
         t.incoming.beats = {1e300};
         t.incoming.downbeats = {kHuge};
       }},
      {"no beats at all", [](RenderTransitionTask& t) {
         t.outgoing.beats.clear();
         t.outgoing.downbeats.clear();
         t.incoming.beats.clear();
         t.incoming.downbeats.clear();
       }},
      {"a duck curve of a million values", [](RenderTransitionTask& t) {
         t.duck_curve = std::vector<double>(1000000);
         for (std::size_t i = 0; i < t.duck_curve->size(); ++i) (*t.duck_curve)[i] = static_cast<double>(i % 7) / 7.0;
       }},
      {"a duck curve of NaN and infinities", [](RenderTransitionTask& t) {
         t.duck_curve = {std::nan(""), kHuge * 2, -kHuge * 2, 1e300};
       }},
      {"windows at the double limit", [](RenderTransitionTask& t) {
         t.outgoing_region.start = TimeWindow{-kHuge, kHuge};
         t.outgoing_region.end = TimeWindow{0.0, kHuge};
         t.incoming_region.start = TimeWindow{-1e300, 1e300};
       }},
      {"an empty window far past the end", [](RenderTransitionTask& t) {
         t.incoming_region.start = TimeWindow{1e300, 1e300};
       }},
      {"beat lengths 0 and 2^32 - 1", [](RenderTransitionTask& t) {
         t.beat_lengths = std::vector<std::uint32_t>{0, std::numeric_limits<std::uint32_t>::max()};
       }, true, "no viable transition found: "},
      {"64 channels into mono", [](RenderTransitionTask& t) {
         t.outgoing = tone(1000, 6000, 120.0f, 64);
         t.incoming = tone(1000, 6000, 120.0f, 1, 0.11f);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderTransitionTask task = base_task();
    c.change(task);
    expect_coherent(compute(task), c);
  }
}

}  // namespace
}  // namespace segue
