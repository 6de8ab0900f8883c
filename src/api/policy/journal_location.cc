#include "api/policy/journal_location.h"

namespace vorn {

Result<JournalLocation, ParseError> parse_journal_location(std::string_view text) {
  for (std::string_view scheme : {std::string_view("file:"), std::string_view("postgres://")}) {
    if (text.size() > scheme.size() && text.starts_with(scheme))
      return JournalLocation{std::string(text)};
  }
  return parse_error(text, "journal location");
}

}  // namespace vorn
