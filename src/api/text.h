#ifndef VORN_API_TEXT_H_
#define VORN_API_TEXT_H_

#include <string>
#include <string_view>

#include "api/json.h"

namespace vorn {

// `text` as a quoted string literal: wrapped in double quotes, with the double quote,
// the backslash and control characters escaped (\n, \r, \t, \0, others as \u{1b}).
// Used wherever a message shows user input verbatim.
std::string quote(std::string_view text);

// Shortest decimal form of a double without exponent: "1.5", "0", "100", "NaN", "inf".
std::string format_f64(double value);

// How a decoding error names a value it did not expect: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe_unexpected(const Json& value);

}  // namespace vorn

#endif  // VORN_API_TEXT_H_
