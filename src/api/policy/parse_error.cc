#include "api/policy/parse_error.h"

#include "api/text.h"

namespace vorn {

std::string ParseError::text() const {
  std::string out = detail ? "invalid " : "unparseable ";
  out += kind;
  out += " literal: ";
  out += quote(input);
  if (detail) {
    out += " \u2014 ";
    out += *detail;
  }
  return out;
}

}  // namespace vorn
