#ifndef VORN_API_POLICY_JOURNAL_LOCATION_H_
#define VORN_API_POLICY_JOURNAL_LOCATION_H_

#include <string>
#include <string_view>

#include "api/policy/parse_error.h"
#include "api/result.h"

namespace vorn {

// Where the journal lives, exactly as written: "file:{path}" or "postgres://{...}".
struct JournalLocation {
  std::string text;

  bool operator==(const JournalLocation&) const = default;
};

// Accepts a text that starts with "file:" or "postgres://" and has at least one more
// character; nothing is trimmed or normalised. Errors have kind "journal location".
Result<JournalLocation, ParseError> parse_journal_location(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_JOURNAL_LOCATION_H_
