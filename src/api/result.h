#ifndef VORN_API_RESULT_H_
#define VORN_API_RESULT_H_

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

#include "api/vorn_error.h"

namespace vorn {

// Either a value or an error, in the manner of absl::StatusOr. Fallible operations
// return it instead of throwing; callers must look at it.
template <class T, class E = VornError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, E> v_;
};

// Success or an error, for operations without a value.
template <class E = VornError>
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(E error) : error_(std::move(error)), ok_(false) {}  // NOLINT: implicit by design

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const E& error() const& {
    assert(!ok_);
    return error_;
  }
  E&& error() && {
    assert(!ok_);
    return std::move(error_);
  }

 private:
  E error_{};
  bool ok_ = true;
};

}  // namespace vorn

#endif  // VORN_API_RESULT_H_
