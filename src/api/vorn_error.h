#ifndef VORN_API_VORN_ERROR_H_
#define VORN_API_VORN_ERROR_H_

#include <string>
#include <utility>

#include "api/error_code.h"

namespace vorn {

// A failure raised instead of returned: a stable code and a human-readable message.
// The binding turns it into VornCoreError with the same code and message.
struct VornError {
  ErrorCode code;
  std::string message;

  // "{code}: {message}".
  std::string text() const;
};

inline VornError vorn_error(ErrorCode code, std::string message) {
  return VornError{code, std::move(message)};
}

// A broken invariant of the core (never a user error). The binding raises these as its
// internal-fault exception, which Python code cannot catch with `except Exception`.
struct InternalFault {
  std::string message;
};

}  // namespace vorn

#endif  // VORN_API_VORN_ERROR_H_
