// Numeric conversions shared by every stage.
//
// Rounding to an integer goes to the nearest integer with halves away from
// zero (std::round). Converting a float to an unsigned count saturates: NaN
// and negative values give 0, values beyond the type's range give its
// maximum. Use `saturating_cast` for every float-to-unsigned conversion; a
// bare cast of an out-of-range float is undefined behaviour in C++.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>

namespace segue {

// Truncates toward zero, saturating at both ends. NaN gives 0.
template <std::unsigned_integral U, std::floating_point F>
constexpr U saturating_cast(F value) {
  if (!(value > F(0))) return 0;  // NaN, zero and negatives
  // 2^digits is exactly representable in every floating type we use.
  constexpr double limit = std::ldexp(1.0, std::numeric_limits<U>::digits);
  if (static_cast<double>(value) >= limit) return std::numeric_limits<U>::max();
  return static_cast<U>(value);
}

// Nearest integer, halves away from zero, then saturated into U.
template <std::unsigned_integral U, std::floating_point F>
U round_to_unsigned(F value) {
  return saturating_cast<U>(std::round(value));
}

// The 32-bit float epsilon, 2^-23, used as the "no energy" threshold.
inline constexpr float kFloatEpsilon = 1.1920929e-7f;

// A level in dB as a linear gain, 10^(db / 20) in 32-bit; 0 at or below
// -120 dB, which counts as silence (for loudness trims and the peak ceiling).
inline float gain_from_db(float db) { return db <= -120.0f ? 0.0f : std::pow(10.0f, db / 20.0f); }

}  // namespace segue

namespace segue {

// Conventions for float min/max/clamp, shared by every stage:
//   - min and max ignore a NaN operand (IEEE minNum/maxNum): use std::fmin
//     and std::fmax;
//   - clamp keeps a NaN input as NaN (callers that need otherwise say so).
template <std::floating_point F>
constexpr F clamp(F value, F lo, F hi) {
  if (std::isnan(value)) return value;
  return value < lo ? lo : (value > hi ? hi : value);
}

}  // namespace segue
