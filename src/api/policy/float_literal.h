#ifndef VORN_API_POLICY_FLOAT_LITERAL_H_
#define VORN_API_POLICY_FLOAT_LITERAL_H_

#include <optional>
#include <string_view>

namespace vorn {

// Reads a decimal floating-point literal, the whole text and nothing else:
//   [+-] ( digits [ "." [digits] ] | "." digits ) [ ("e"|"E") [+-] digits ]
//   [+-] ( "inf" | "infinity" | "nan" )   (these words in any letter case)
// No white space, underscores, hexadecimal forms or empty mantissas ("", ".", "e5").
// The value is correctly rounded; magnitudes beyond the double range read as
// infinity and those below it as zero. Returns none when the text does not match.
std::optional<double> parse_float_literal(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_FLOAT_LITERAL_H_
