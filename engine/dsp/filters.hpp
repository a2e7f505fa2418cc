// Biquad filter lanes: second-order filters whose cutoff follows an
// automation over the transition, applied block by block in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "engine/audio/buffer.hpp"
#include "engine/dsp/automation.hpp"
#include "engine/error.hpp"

namespace segue {

enum class FilterKind : std::uint8_t {
  LowPass = 0,
  HighPass = 1,
  LowShelf = 2,   // uses gain_db
  HighShelf = 3,  // uses gain_db
  Peaking = 4,    // uses gain_db
};

struct FilterLane {
  Automation cutoff;                  // cutoff (or centre) frequency in Hz
  std::optional<Automation> progress; // warps the sweep, 0 to 1; absent in planned lanes
  float q = 0.70710677f;              // quality factor, > 0
  float gain_db = 0.0f;               // shelves and peaking only
  FilterKind kind = FilterKind::LowPass;
};

// Already divided by a0.
struct BiquadCoefficients {
  float a1 = 0.0f;
  float a2 = 0.0f;
  float b0 = 1.0f;
  float b1 = 0.0f;
  float b2 = 0.0f;
};

enum class FilterDesignError : std::uint8_t { OutsideNyquist, NegativeQ, NegativeFrequency };

// "OutsideNyquist", "NegativeQ", "NegativeFrequency": the names that appear
// in error messages.
std::string_view filter_design_error_name(FilterDesignError error);

// RBJ Audio EQ Cookbook designs in 32-bit float; `frequency` and
// `sample_rate` in Hz, `gain_db` used by the shelves and peaking only.
// Errors, in this order: NegativeFrequency when the frequency is not > 0
// (NaN included), OutsideNyquist when it is not below half the rate (a rate
// that is not > 0 included), NegativeQ when q is not > 0. Never allocates.
std::expected<BiquadCoefficients, FilterDesignError> design_biquad(FilterKind kind, float gain_db,
                                                                   float sample_rate, float frequency, float q);

// Filters `buffer` in place with each lane in order, one coefficient set per
// block of `block_frames` (values below 1 count as 1), in transposed direct
// form II with state carried across blocks. Each block's cutoff is read at
// the block's first frame, t = frame / (frames - 1), and clamped to
// [10 Hz, 0.45 x rate]. Errors are EngineError::dsp: "filter Q must be
// positive" (q not > 0, checked first, even for an empty buffer), "invalid
// frequency {}: {}" (a NaN cutoff), "biquad coefficients: {}". A failing
// lane stops the step; earlier lanes have already filtered the buffer, the
// failing lane has not touched it. Allocates only the list of coefficient
// sets. Threading: none; the caller owns the buffer.
Status apply_filter_lanes(AudioBuffer& buffer, std::span<const FilterLane> lanes, std::size_t block_frames);

}  // namespace segue
