#include "api/vorn_error.h"

namespace vorn {

std::string VornError::text() const {
  std::string out(error_code_text(code));
  out += ": ";
  out += message;
  return out;
}

}  // namespace vorn
