#include "api/policy/float_literal.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace vorn {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<double> parse_float_literal(std::string_view text) {
  bool negative = false;
  std::string_view s = text;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  if (equals_ignoring_case(s, "nan")) return std::numeric_limits<double>::quiet_NaN();

  // Validate the decimal form and, on the way, estimate the decimal exponent of the
  // leading nonzero digit so that out-of-range results can be told apart.
  std::size_t i = 0;
  std::size_t int_digits = 0, frac_digits = 0;
  std::int64_t lead_exp = 0;  // position of the first nonzero digit relative to the point
  bool seen_nonzero = false;
  while (i < s.size() && is_digit(s[i])) {
    if (seen_nonzero) {
      ++lead_exp;
    } else if (s[i] != '0') {
      seen_nonzero = true;
      lead_exp = 0;
    }
    ++int_digits;
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      if (!seen_nonzero) {
        --lead_exp;
        if (s[i] != '0') seen_nonzero = true;
      }
      ++frac_digits;
      ++i;
    }
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      exp_negative = s[i] == '-';
      ++i;
    }
    std::size_t exp_start = i;
    while (i < s.size() && is_digit(s[i])) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (i == exp_start) return std::nullopt;
    if (exp_negative) exponent = -exponent;
  }
  if (i != s.size()) return std::nullopt;

  // from_chars reads this subset of its own grammar exactly (no sign, no "0x").
  double value = 0;
  auto res = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    value =
        (seen_nonzero && lead_exp + exponent > 0) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace vorn
