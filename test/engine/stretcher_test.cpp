#include "engine/dsp/stretcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "test/support/signals.hpp"

namespace segue {
namespace {

using fixtures::peak_index;
using fixtures::rms;
using fixtures::sine;

// Low rates keep the processor's work small; 22050 Hz has a latency of 1024
// frames, so outputs from 2048 frames on are accepted.
constexpr std::uint32_t kRate = 22050;

AudioBuffer make(std::vector<Channel> channels, std::uint32_t rate = kRate) {
  return *AudioBuffer::create(std::move(channels), rate);
}

std::string error_text(const Result<AudioBuffer>& result) { return result ? "ok" : result.error().to_text(); }

TEST(TimeStretcher, HoldsOneProcessorForItsChannelsAndRate) {
  TimeStretcher stretcher;
  EXPECT_FALSE(stretcher.has_processor());
  EXPECT_EQ(stretcher.output_latency(), 0u);

  stretcher.configure(2, 48000);
  EXPECT_TRUE(stretcher.has_processor());
  EXPECT_TRUE(stretcher.holds(2, 48000));
  EXPECT_FALSE(stretcher.holds(1, 48000));
  EXPECT_FALSE(stretcher.holds(2, 44100));
  EXPECT_EQ(stretcher.output_latency(), 2048u);

  stretcher.configure(1, kRate);
  EXPECT_TRUE(stretcher.holds(1, kRate));
  EXPECT_FALSE(stretcher.holds(2, 48000));
  EXPECT_EQ(stretcher.output_latency(), 1024u);

  // Counts the library cannot take leave the holder empty rather than
  // holding a processor for something else.
  stretcher.configure(0, kRate);
  EXPECT_FALSE(stretcher.has_processor());
  EXPECT_EQ(stretcher.channels(), 0u);
  EXPECT_EQ(stretcher.output_latency(), 0u);
}

TEST(TimeStretcher, RefusesWhatItCannotDo) {
  TimeStretcher empty;
  EXPECT_EQ(error_text(empty.stretch(make({Channel(4096)}), 4096, 0.0f)),
            "invalid audio: stretcher configured for 0 channels at 0 Hz, got 1 at 22050");

  TimeStretcher stretcher;
  stretcher.configure(2, kRate);
  const AudioBuffer stereo = make({sine(4096, 440.0, kRate, 0.5f), sine(4096, 440.0, kRate, 0.5f)});
  EXPECT_EQ(error_text(stretcher.stretch(make({Channel(4096)}), 4096, 0.0f)),
            "invalid audio: stretcher configured for 2 channels at 22050 Hz, got 1 at 22050");
  EXPECT_EQ(error_text(stretcher.stretch(make({Channel(4096), Channel(4096)}, 44100), 4096, 0.0f)),
            "invalid audio: stretcher configured for 2 channels at 22050 Hz, got 2 at 44100");
  EXPECT_EQ(error_text(stretcher.stretch(stereo, 2047, 0.0f)),
            "dsp failure: output of 2047 frames is below the stretcher minimum of 2048");
  // Beyond 16 times either way the library loses output or writes past
  // its buffers.
  const std::string refusal = "dsp failure: the time-stretching processor rejected the requested block sizes";
  EXPECT_EQ(error_text(stretcher.stretch(stereo.slice_padded(0, 100), 2048, 0.0f)), refusal);
  EXPECT_EQ(error_text(stretcher.stretch(stereo.slice_padded(0, 40000), 2048, 0.0f)), refusal);
  struct Transpose {
    float semitones;
    const char* text;
  };
  const Transpose transposes[] = {{24.5f, "24.5"},
                                  {-30.0f, "-30"},
                                  {std::numeric_limits<float>::quiet_NaN(), "NaN"},
                                  {std::numeric_limits<float>::infinity(), "inf"}};
  for (const Transpose& t : transposes) {
    EXPECT_EQ(error_text(stretcher.stretch(stereo, 4096, t.semitones)),
              std::string("dsp failure: transpose of ") + t.text +
                  " semitones is outside the time-stretching range of -24 to 24");
  }
  // Still usable after every refusal.
  auto fine = stretcher.stretch(stereo, 4096, 0.0f);
  ASSERT_TRUE(fine) << fine.error().to_text();
  EXPECT_EQ(fine->frame_count(), 4096u);
}

TEST(TimeStretcher, EmptyInputOrOutputIsSilence) {
  TimeStretcher stretcher;
  stretcher.configure(2, kRate);
  // The empty cases come before the minimum: even 10 frames are fine.
  auto from_nothing = stretcher.stretch(make({Channel(), Channel()}), 10, 0.0f);
  ASSERT_TRUE(from_nothing);
  EXPECT_EQ(from_nothing->channels(), (std::vector<Channel>{Channel(10, 0.0f), Channel(10, 0.0f)}));
  auto into_nothing =
      stretcher.stretch(make({sine(4096, 440.0, kRate, 0.5f), sine(4096, 440.0, kRate, 0.5f)}), 0, 0.0f);
  ASSERT_TRUE(into_nothing);
  EXPECT_EQ(into_nothing->frame_count(), 0u);
  EXPECT_EQ(into_nothing->channel_count(), 2u);
}

TEST(TimeStretcher, GivesExactlyTheRequestedFramesWithMaterialToTheEnd) {
  struct Case {
    std::size_t input_frames, output_frames;
  };
  // Shortest output, slower, faster, a prime length, and one longer than
  // the library's output ring, which a single process call would overrun.
  const Case cases[] = {{2048, 2048}, {6000, 2048}, {2048, 6000}, {23000, 21001}, {72000, 70000}};
  TimeStretcher stretcher;
  stretcher.configure(2, kRate);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.input_frames) + " -> " + std::to_string(c.output_frames));
    const AudioBuffer input =
        make({sine(c.input_frames, 440.0, kRate, 0.5f), sine(c.input_frames, 660.0, kRate, 0.25f)});
    auto out = stretcher.stretch(input, c.output_frames, 0.0f);
    ASSERT_TRUE(out) << out.error().to_text();
    ASSERT_EQ(out->frame_count(), c.output_frames);
    ASSERT_EQ(out->channel_count(), 2u);
    // A steady tone keeps its level, and the last stretch still carries
    // it: nothing is cut short and padded with silence.
    const std::size_t window = 512;
    for (std::size_t ch = 0; ch < 2; ++ch) {
      const double level = (ch == 0 ? 0.5 : 0.25) / std::numbers::sqrt2;
      std::span<const float> channel = out->channel(ch);
      EXPECT_NEAR(rms(channel.subspan(channel.size() / 2 - window / 2, window)), level, 0.2 * level);
      EXPECT_GT(rms(channel.subspan(channel.size() - 2 * window, window)), 0.5 * level);
    }
  }
}

TEST(TimeStretcher, TheFirstOutputFrameBelongsToTheFirstInputFrame) {
  TimeStretcher stretcher;
  stretcher.configure(1, kRate);
  struct Case {
    std::size_t input_frames, output_frames;
  };
  const Case cases[] = {{9261, 8820}, {8820, 9261}, {8820, 8820}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.input_frames) + " -> " + std::to_string(c.output_frames));
    Channel impulse(c.input_frames, 0.0f);
    impulse[0] = 1.0f;
    auto out = stretcher.stretch(make({impulse}), c.output_frames, 0.0f);
    ASSERT_TRUE(out) << out.error().to_text();
    EXPECT_EQ(peak_index(out->channel(0)), 0u);
    EXPECT_GT(out->channel(0)[0], 0.5f);

    // A click later on lands where the new tempo puts it, give or take a
    // millisecond: the engine spreads the stretch unevenly around it.
    Channel click(c.input_frames, 0.0f);
    const std::size_t at = 4000;
    click[at] = 1.0f;
    auto moved = stretcher.stretch(make({click}), c.output_frames, 0.0f);
    ASSERT_TRUE(moved) << moved.error().to_text();
    const double expected = double(at) * double(c.output_frames) / double(c.input_frames);
    EXPECT_NEAR(double(peak_index(moved->channel(0))), expected, 0.002 * kRate);
  }
}

TEST(TimeStretcher, EachUseStartsFromTheSameState) {
  TimeStretcher stretcher;
  stretcher.configure(1, kRate);
  // A click near the start: what a stale state changes is the opening.
  Channel click(4096, 0.0f);
  click[100] = 1.0f;
  const AudioBuffer input = make({click});
  auto first = stretcher.stretch(input, 2048, 0.0f);
  ASSERT_TRUE(first) << first.error().to_text();
  // The same request straight away, and again after a use with another
  // ratio and transpose: neither may show a trace of what came before.
  auto repeated = stretcher.stretch(input, 2048, 0.0f);
  ASSERT_TRUE(repeated) << repeated.error().to_text();
  EXPECT_EQ(repeated->channels(), first->channels());
  ASSERT_TRUE(stretcher.stretch(make({sine(3000, 440.0, kRate, 0.5f)}), 6000, 3.0f));
  auto after_other = stretcher.stretch(input, 2048, 0.0f);
  ASSERT_TRUE(after_other) << after_other.error().to_text();
  EXPECT_EQ(after_other->channels(), first->channels());
}

TEST(TimeStretcher, NonFiniteSamplesAreReadAsSilence) {
  TimeStretcher stretcher;
  stretcher.configure(1, kRate);
  const std::size_t frames = kRate;
  Channel clean = sine(frames, 440.0, kRate, 0.3f);
  Channel spoiled = clean;
  spoiled[frames / 2] = std::numeric_limits<float>::quiet_NaN();
  spoiled[frames / 2 + 100] = std::numeric_limits<float>::infinity();
  spoiled[frames / 4] = -std::numeric_limits<float>::infinity();

  Channel zeroed = clean;
  zeroed[frames / 2] = zeroed[frames / 2 + 100] = zeroed[frames / 4] = 0.0f;
  auto out = stretcher.stretch(make({spoiled}), 21000, 0.0f);
  ASSERT_TRUE(out) << out.error().to_text();
  auto expected = stretcher.stretch(make({zeroed}), 21000, 0.0f);
  ASSERT_TRUE(expected) << expected.error().to_text();
  EXPECT_TRUE(std::all_of(out->channel(0).begin(), out->channel(0).end(), [](float s) { return std::isfinite(s); }));
  EXPECT_EQ(out->channels(), expected->channels());
}

}  // namespace
}  // namespace segue
