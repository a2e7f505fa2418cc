#include "engine/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/error.hpp"
#include "engine/numeric.hpp"

namespace segue {
namespace {

TEST(FormatNumber, DoublesAreShortestAndPositional) {
  const struct {
    double value;
    std::string text;
  } cases[] = {
      {120.0, "120"},
      {0.1, "0.1"},
      {-0.5, "-0.5"},
      {44100.0, "44100"},
      {22050.5, "22050.5"},
      {999.9, "999.9"},
      {1e23, "100000000000000000000000"},
      {1e-7, "0.0000001"},
      {1.5e-10, "0.00000000015"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1e300, "1" + std::string(300, '0')},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_number(c.value), c.text) << c.text;
}

TEST(FormatNumber, FloatsUseTheirOwnShortestDigits) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.1f, "0.1"},
      {120.0f, "120"},
      {-120.0f, "-120"},
      {3.4e38f, "340000000000000000000000000000000000000"},
      {1.0499999523f, "1.05"},
      {1e-30f, "0.000000000000000000000000000001"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_number(c.value), c.text) << c.text;
}

TEST(FormatFixed, MatchesPrintfRounding) {
  EXPECT_EQ(format_fixed(90.00002, 1), "90.0");
  EXPECT_EQ(format_fixed(12.5, 2), "12.50");
  EXPECT_EQ(format_fixed(181.25, 2), "181.25");
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");  // exact binary tie rounds to even, as %.2f does
  EXPECT_EQ(format_fixed(-0.04, 1), "-0.0");
  EXPECT_EQ(format_signed_fixed(1.5873, 1), "+1.6");
  EXPECT_EQ(format_signed_fixed(0.0, 1), "+0.0");
  EXPECT_EQ(format_signed_fixed(-3.125, 1), "-3.1");
  EXPECT_EQ(format_fixed(std::nan(""), 2), "NaN");
  EXPECT_EQ(format_signed_fixed(INFINITY, 1), "+inf");
}

TEST(FormatList, BracketsAndCommas) {
  EXPECT_EQ(format_list(std::vector<std::uint32_t>{4, 8}), "[4, 8]");
  EXPECT_EQ(format_list(std::vector<std::uint32_t>{8}), "[8]");
  EXPECT_EQ(format_list(std::vector<std::uint32_t>{}), "[]");
}

TEST(Numeric, SaturatingCastClampsAndDropsNaN) {
  EXPECT_EQ(saturating_cast<std::uint32_t>(std::nan("")), 0u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(-5.0), 0u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(44100.9), 44100u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(1e10), 4294967295u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(4294967295.0), 4294967295u);
  EXPECT_EQ(saturating_cast<std::uint64_t>(INFINITY), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(saturating_cast<std::uint64_t>(1.8446744073709552e19), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(round_to_unsigned<std::uint64_t>(0.5), 1u);
  EXPECT_EQ(round_to_unsigned<std::uint64_t>(2.5), 3u);
  EXPECT_EQ(round_to_unsigned<std::uint64_t>(0.441), 0u);
  EXPECT_EQ(round_to_unsigned<std::uint64_t>(-0.5), 0u);
}

TEST(Numeric, ClampKeepsNaN) {
  EXPECT_TRUE(std::isnan(clamp(std::nanf(""), 0.0f, 1.0f)));
  EXPECT_EQ(clamp(2.0f, 0.0f, 1.0f), 1.0f);
  EXPECT_EQ(clamp(-2.0f, 0.0f, 1.0f), 0.0f);
}

TEST(EngineErrorText, EveryKindHasItsPrefix) {
  const struct {
    EngineError error;
    const char* text;
  } cases[] = {
      {EngineError::invalid_audio("both tracks must contain audio"), "invalid audio: both tracks must contain audio"},
      {EngineError::invalid_beat_analysis("x"), "invalid beat analysis: x"},
      {EngineError::unsupported_configuration("y"), "unsupported configuration: y"},
      {EngineError::sample_rate_mismatch(44100, 48000),
       "sample rate mismatch: outgoing is 44100 Hz, incoming is 48000 Hz, and resampling is disabled"},
      {EngineError::channel_count_mismatch(2, 6),
       "channel count mismatch: outgoing has 2, incoming has 6, and neither is mono"},
      {EngineError::no_viable_transition("z"), "no viable transition found: z"},
      {EngineError::dsp("loudness meter: w"), "dsp failure: loudness meter: w"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_text(), c.text);
  EXPECT_EQ(EngineError::dsp("m").kind(), EngineError::Kind::Dsp);
  EXPECT_EQ(static_cast<int>(EngineError::Kind::Dsp), 6);
}

}  // namespace
}  // namespace segue
