#include "engine/dsp/conditioning.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>
#include <vector>

#include "test/support/signals.hpp"

namespace segue {
namespace {

using fixtures::peak_index;
using fixtures::rms;
using fixtures::sine;

Channel ramp(std::size_t frames) {
  Channel out(frames);
  for (std::size_t f = 0; f < frames; ++f) out[f] = static_cast<float>(f + 1);
  return out;
}

AudioBuffer make(std::vector<Channel> channels, std::uint32_t rate) {
  return *AudioBuffer::create(std::move(channels), rate);
}

// Request for an overlap of `frames` output frames at `rate`.
ConditioningRequest request(double start_seconds, std::uint64_t frames, std::uint64_t channels, std::uint32_t rate,
                            float tempo_ratio = 1.0f, float semitones = 0.0f) {
  return {.start_seconds = start_seconds,
          .duration_seconds = static_cast<double>(frames) / rate,
          .frames = frames,
          .channels = channels,
          .tempo_ratio = tempo_ratio,
          .pitch_semitones = semitones,
          .sample_rate = rate};
}

// Magnitudes from 200 to 4000 Hz in 5 Hz steps over a Hann-windowed
// stretch from the middle of a signal.
struct Spectrum {
  std::vector<std::pair<double, double>> scan;  // Hz, magnitude
  double dominant_hz = 0.0;

  // Writes the scan as CSV for plotting and returns where it went.
  std::string save(const std::string& name) const {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream csv(path);
    csv << "hz,magnitude\n";
    for (const auto& [hz, magnitude] : scan) csv << hz << ',' << magnitude << '\n';
    return "spectrum written to " + path;
  }
};

Spectrum spectrum(std::span<const float> signal, std::uint32_t rate) {
  const std::size_t length = 8192;
  std::span<const float> middle = signal.subspan((signal.size() - length) / 2, length);
  std::vector<double> windowed(length);
  for (std::size_t n = 0; n < length; ++n) {
    windowed[n] = middle[n] * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / (length - 1)));
  }
  Spectrum out;
  double best = -1.0;
  for (double hz = 200.0; hz <= 4000.0; hz += 5.0) {
    // Goertzel: one frequency's DFT magnitude without a sine per sample.
    const double w = 2.0 * std::numbers::pi * hz / rate;
    const double coefficient = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (double x : windowed) {
      const double s0 = x + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double magnitude = std::sqrt(std::fmax(s1 * s1 + s2 * s2 - coefficient * s1 * s2, 0.0));
    out.scan.emplace_back(hz, magnitude);
    if (magnitude > best) best = magnitude, out.dominant_hz = hz;
  }
  return out;
}

TEST(Conditioning, StretchesAFourSecondOverlapToTheTargetTempo) {
  // 1.05 is held as 1.0499999523: the overlap consumes 4.1999998 s, cut as
  // round(4.1999998 x 44100) = 185220 frames and stretched into 176400.
  const std::uint32_t rate = 44100;
  const std::size_t beat = rate / 4;  // a click every quarter second of source
  Channel clicks(5 * rate, 0.0f);
  for (std::size_t f = 0; f < clicks.size(); f += beat) clicks[f] = 1.0f;
  TimeStretcher stretcher;
  stretcher.configure(1, rate);

  auto track = condition_track(stretcher, make({clicks}, rate), request(0.5, 176400, 1, rate, 1.05f));
  ASSERT_TRUE(track) << track.error().to_text();
  EXPECT_EQ(track->source_seconds, 4.1999998092651367);
  ASSERT_EQ(track->audio.frame_count(), 176400u);
  ASSERT_EQ(track->audio.channel_count(), 1u);
  EXPECT_EQ(track->audio.sample_rate(), rate);

  // Click k of the region comes out at k x 11025 / 1.05 = k x 10500, the
  // last one (k = 16) included, within 2 ms.
  std::span<const float> out = track->audio.channel(0);
  for (std::size_t k = 0; k <= 16; ++k) {
    SCOPED_TRACE("click " + std::to_string(k));
    const std::size_t expected = k * 10500;
    const std::size_t from = expected > 500 ? expected - 500 : 0;
    std::span<const float> around = out.subspan(from, std::min<std::size_t>(1000, out.size() - from));
    const std::size_t peak = peak_index(around);
    EXPECT_NEAR(double(from + peak), double(expected), 0.002 * rate);
    EXPECT_GT(std::fabs(around[peak]), 0.2f);
  }
}

TEST(Conditioning, PassesTheRegionUnchangedWhenNoStretchIsDue) {
  // At 8000 Hz the processor's latency is 1024 frames: from 2048 output
  // frames on a stretch is possible.
  const std::uint32_t rate = 8000;
  const AudioBuffer source = make({sine(3 * rate, 440.0, rate, 0.5f)}, rate);
  TimeStretcher stretcher;
  stretcher.configure(1, rate);
  struct Case {
    const char* name;
    float ratio;
    std::uint64_t frames;
    bool stretched;
  };
  const Case cases[] = {
      {"ratio within 0.0001 of 1", 1.00005f, 4000, false},
      {"overlap below twice the latency", 1.05f, 2047, false},
      {"overlap at twice the latency", 1.05f, 2048, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConditioningRequest asked = request(0.25, c.frames, 1, rate, c.ratio);
    auto track = condition_track(stretcher, source, asked);
    ASSERT_TRUE(track) << track.error().to_text();
    ASSERT_EQ(track->audio.frame_count(), c.frames);
    const AudioBuffer plain = source.slice_padded(2000, c.frames);
    if (c.stretched) {
      EXPECT_EQ(track->source_seconds, asked.duration_seconds * double(c.ratio));
      EXPECT_NE(track->audio.channels(), plain.channels());
    } else {
      EXPECT_EQ(track->source_seconds, asked.duration_seconds);
      EXPECT_EQ(track->audio.channels(), plain.channels());
    }
  }
}

TEST(Conditioning, CutsWithHalvesRoundedAwayFromZeroAndPadsPastTheEnd) {
  // At 1024 Hz the half-frame times are exact binary fractions.
  const std::uint32_t rate = 1024;
  const AudioBuffer source = make({ramp(100)}, rate);
  TimeStretcher stretcher;
  struct Case {
    const char* name;
    double start_seconds, duration_seconds;
    std::uint64_t frames;
    Channel expected;
  };
  const Case cases[] = {
      // Start 2.5 frames -> 3, span 4.5 frames -> 5, then padded to 6.
      {"half frames", 2.5 / rate, 4.5 / rate, 6, {4, 5, 6, 7, 8, 0}},
      {"negative start", -1.0, 3.0 / rate, 3, {1, 2, 3}},
      {"NaN start", std::numeric_limits<double>::quiet_NaN(), 3.0 / rate, 3, {1, 2, 3}},
      {"running past the end", 97.0 / rate, 5.0 / rate, 5, {98, 99, 100, 0, 0}},
      {"starting past the end", 1.0, 4.0 / rate, 4, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConditioningRequest asked = request(c.start_seconds, c.frames, 1, rate);
    asked.duration_seconds = c.duration_seconds;
    auto track = condition_track(stretcher, source, asked);
    ASSERT_TRUE(track) << track.error().to_text();
    EXPECT_EQ(track->audio.channels()[0], c.expected);
    EXPECT_EQ(track->source_seconds, c.duration_seconds);
  }
}

TEST(Conditioning, AStretchedRegionPastTheEndIsSilence) {
  const std::uint32_t rate = 8000;
  TimeStretcher stretcher;
  stretcher.configure(2, rate);
  const AudioBuffer source = make({sine(rate, 440.0, rate, 0.5f), sine(rate, 440.0, rate, 0.5f)}, rate);
  auto track = condition_track(stretcher, source, request(2.0, 2048, 2, rate, 1.05f));
  ASSERT_TRUE(track) << track.error().to_text();
  ASSERT_EQ(track->audio.frame_count(), 2048u);
  for (std::size_t c = 0; c < 2; ++c) {
    EXPECT_TRUE(std::all_of(track->audio.channel(c).begin(), track->audio.channel(c).end(),
                            [](float s) { return s == 0.0f; }));
  }
}

TEST(Conditioning, ConvertsTheRateBeforeTheLengthStep) {
  struct Case {
    std::uint32_t source, target;
  };
  // 48000 frames at 48000 Hz are exactly 44100 at 44100 Hz; 44100 at
  // 44100 Hz come out of the converter as 48001 and are trimmed to 48000.
  const Case cases[] = {{48000, 44100}, {44100, 48000}};
  TimeStretcher stretcher;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.source) + " -> " + std::to_string(c.target));
    // A mono source in a stereo plan, so mapping follows the conversion.
    const AudioBuffer source = make({sine(c.source, 1000.0, c.source, 0.5f)}, c.source);
    auto track = condition_track(stretcher, source, request(0.0, c.target, 2, c.target));
    ASSERT_TRUE(track) << track.error().to_text();
    EXPECT_EQ(track->audio.sample_rate(), c.target);
    ASSERT_EQ(track->audio.frame_count(), c.target);
    ASSERT_EQ(track->audio.channel_count(), 2u);
    EXPECT_EQ(track->audio.channels()[0], track->audio.channels()[1]);
    // The tone reaches the last frames: the converter's output is not
    // short and padded.
    EXPECT_NEAR(rms(track->audio.channel(0).last(200)), 0.5 / std::numbers::sqrt2, 0.02);
    EXPECT_EQ(track->source_seconds, 1.0);
  }

  // An empty region needs no converter and still arrives at the plan's
  // rate and channels.
  ConditioningRequest nothing = request(0.0, 0, 2, 44100);
  auto empty = condition_track(stretcher, make({sine(100, 1000.0, 48000, 0.5f)}, 48000), nothing);
  ASSERT_TRUE(empty) << empty.error().to_text();
  EXPECT_EQ(empty->audio.frame_count(), 0u);
  EXPECT_EQ(empty->audio.channel_count(), 2u);
  EXPECT_EQ(empty->audio.sample_rate(), 44100u);
}

TEST(Conditioning, MapsChannelsOntoThePlan) {
  const std::uint32_t rate = 8000;
  TimeStretcher stretcher;
  const Channel left = sine(800, 440.0, rate, 0.5f), right = sine(800, 660.0, rate, 0.3f);

  auto mono_to_stereo = condition_track(stretcher, make({left}, rate), request(0.0, 800, 2, rate));
  ASSERT_TRUE(mono_to_stereo) << mono_to_stereo.error().to_text();
  EXPECT_EQ(mono_to_stereo->audio.channels(), (std::vector<Channel>{left, left}));

  auto stereo_to_mono = condition_track(stretcher, make({left, right}, rate), request(0.0, 800, 1, rate));
  ASSERT_TRUE(stereo_to_mono) << stereo_to_mono.error().to_text();
  Channel average(800);
  for (std::size_t f = 0; f < 800; ++f) average[f] = right[f] * 0.5f + (left[f] * 0.5f + 0.0f);
  EXPECT_EQ(stereo_to_mono->audio.channels()[0], average);
}

TEST(Conditioning, ReportsWhatCannotBeConditioned) {
  const std::uint32_t rate = 8000;
  const AudioBuffer mono = make({sine(rate, 440.0, rate, 0.5f)}, rate);
  const AudioBuffer three = make({Channel(rate), Channel(rate), Channel(rate)}, rate);
  TimeStretcher wrong_stretcher;
  wrong_stretcher.configure(2, 44100);
  TimeStretcher stretcher;
  stretcher.configure(1, rate);
  struct Case {
    const char* name;
    TimeStretcher& stretcher;
    const AudioBuffer& track;
    ConditioningRequest request;
    std::string text;
  };
  Case cases[] = {
      {"no target rate", stretcher, mono, {.duration_seconds = 0.0125, .frames = 100, .channels = 1},
       "invalid audio: target sample rate must be non-zero"},
      {"endless overlap", stretcher, mono,
       {.duration_seconds = std::numeric_limits<double>::infinity(), .frames = 100, .channels = 1, .sample_rate = rate},
       "unsupported configuration: overlap duration must be finite, got inf"},
      {"no channels", stretcher, mono, request(0.0, 100, 0, rate), "invalid audio: channel count must be non-zero"},
      {"three onto two", stretcher, three, request(0.0, 100, 2, rate), "invalid audio: cannot map 3 channels onto 2"},
      {"stretcher for another plan", wrong_stretcher, mono, request(0.0, 4096, 1, rate, 1.05f),
       "invalid audio: stretcher configured for 2 channels at 44100 Hz, got 1 at 8000"},
      // An infinite or huge ratio would ask for an enormous region.
      {"infinite ratio", stretcher, mono, request(0.0, 4096, 1, rate, std::numeric_limits<float>::infinity()),
       "dsp failure: the time-stretching processor rejected the requested block sizes"},
      {"huge ratio", stretcher, mono, request(0.0, 4096, 1, rate, 1e30f),
       "dsp failure: the time-stretching processor rejected the requested block sizes"},
      {"NaN transpose", stretcher, mono, request(0.0, 4096, 1, rate, 1.0f, std::numeric_limits<float>::quiet_NaN()),
       "dsp failure: transpose of NaN semitones is outside the time-stretching range of -24 to 24"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto track = condition_track(c.stretcher, c.track, c.request);
    ASSERT_FALSE(track);
    EXPECT_EQ(track.error().to_text(), c.text);
  }
}

TEST(Conditioning, StretchingKeepsThePitchAndTransposingMovesIt) {
  const std::uint32_t rate = 22050;
  const AudioBuffer tone = make({sine(2 * rate, 1000.0, rate, 0.5f)}, rate);
  TimeStretcher stretcher;
  stretcher.configure(1, rate);

  auto faster = condition_track(stretcher, tone, request(0.0, rate, 1, rate, 1.05f));
  ASSERT_TRUE(faster) << faster.error().to_text();
  const Spectrum stretched = spectrum(faster->audio.channel(0), rate);
  EXPECT_NEAR(stretched.dominant_hz, 1000.0, 10.0) << stretched.save("stretched_tone.csv");

  auto octave_up = condition_track(stretcher, tone, request(0.0, rate, 1, rate, 1.0f, 12.0f));
  ASSERT_TRUE(octave_up) << octave_up.error().to_text();
  EXPECT_EQ(octave_up->source_seconds, 1.0);
  const Spectrum transposed = spectrum(octave_up->audio.channel(0), rate);
  EXPECT_NEAR(transposed.dominant_hz, 2000.0, 20.0) << transposed.save("transposed_tone.csv");
}

}  // namespace
}  // namespace segue
