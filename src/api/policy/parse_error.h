#ifndef VORN_API_POLICY_PARSE_ERROR_H_
#define VORN_API_POLICY_PARSE_ERROR_H_

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// A policy value text that did not parse. `kind` and `detail` point at static text.
struct ParseError {
  std::string input;                       // the whole text being parsed, verbatim
  std::string_view kind;                   // "duration", "rate", "schedule", ...
  std::optional<std::string_view> detail;  // why, when more than "does not parse" is known

  // Without detail: "unparseable {kind} literal: {input}".
  // With detail:    "invalid {kind} literal: {input} — {detail}".
  // The input is shown quoted and escaped (see vorn::quote).
  std::string text() const;

  bool operator==(const ParseError&) const = default;
};

inline ParseError parse_error(std::string_view input, std::string_view kind) {
  return ParseError{std::string(input), kind, std::nullopt};
}

}  // namespace vorn

#endif  // VORN_API_POLICY_PARSE_ERROR_H_
