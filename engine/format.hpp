// Number texts for every message of the engine and the binding.
//
// - `format_number` (a plain `{}`): the shortest decimal digits that read back
//   as the same value (for a float, the same 32-bit value), laid out
//   positionally, never in exponent form, without a fraction when integral:
//   120.0 -> "120", 0.1f -> "0.1", 1e23 -> "100000000000000000000000",
//   -0.0 -> "-0". Not-a-number is "NaN", infinities "inf" and "-inf".
// - `format_fixed` (`{:.1}`, `{:.2}`): C's %.Nf, rounded to nearest from the
//   exact binary value.
// - `format_signed_fixed` (`{:+.1}`): C's %+.Nf.
// - `format_list` (`{}` of an integer list): "[4, 8]".
// Non-finite values print "NaN", "inf", "-inf" ("+inf" when signed) in every
// form. None of these allocate beyond the returned string.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace segue {

std::string format_number(double value);
std::string format_number(float value);
std::string format_fixed(double value, int decimals);
std::string format_signed_fixed(double value, int decimals);
std::string format_list(std::span<const std::uint32_t> values);

}  // namespace segue
