#include "engine/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace segue {
namespace {

// Lays out the shortest round-trip digits that std::to_chars gives in
// scientific form ("d.ddde±x") positionally. libstdc++'s fixed form prints
// the exact binary expansion instead (1e23 -> "99999999999999991611392"),
// which is not what a reader of our messages wants.
template <class F>
std::string shortest(F value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)ec;  // 64 characters hold any float or double in scientific form
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

  std::string out;
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const auto e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  // The value is 0.digits x 10^(exponent + 1): the decimal point sits after
  // `point` digits.
  const int point = exponent + 1;
  const int count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::string fixed(double value, int decimals, bool sign) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : (sign ? "+inf" : "inf");
  char buffer[400];  // %.2f of the largest double has 312 characters
  std::snprintf(buffer, sizeof buffer, sign ? "%+.*f" : "%.*f", decimals, value);
  return buffer;
}

}  // namespace

std::string format_number(double value) { return shortest(value); }
std::string format_number(float value) { return shortest(value); }
std::string format_fixed(double value, int decimals) { return fixed(value, decimals, false); }
std::string format_signed_fixed(double value, int decimals) { return fixed(value, decimals, true); }

std::string format_list(std::span<const std::uint32_t> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i]);
  }
  out += "]";
  return out;
}

}  // namespace segue
