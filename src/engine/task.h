#ifndef VORN_ENGINE_TASK_H_
#define VORN_ENGINE_TASK_H_

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace vorn {

// A lazily started coroutine producing one T. Awaiting a Task starts it and resumes the
// awaiter when it finishes (symmetric transfer, so deep chains do not grow the stack).
// A runtime drives a top-level Task with `start` and reads `result` once `done`.
//
// The engine is written once over this type: a runtime whose awaiters complete inline
// (the handle's current-thread runtime) runs a whole call without ever suspending, while
// a runtime whose awaiters suspend (a multi-threaded one) resumes the chain from its
// timers and effect completions.
template <class T>
class [[nodiscard]] Task {
 public:
  struct promise_type {
    std::optional<T> value;
    std::exception_ptr error;
    std::coroutine_handle<> continuation = std::noop_coroutine();

    Task get_return_object() { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        return h.promise().continuation;
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    template <class U>
    void return_value(U&& v) {
      value.emplace(std::forward<U>(v));
    }
    void unhandled_exception() { error = std::current_exception(); }
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (h_) h_.destroy();
      h_ = std::exchange(other.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (h_) h_.destroy();
  }

  // Awaiting from another coroutine.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept {
    h_.promise().continuation = awaiter;
    return h_;
  }
  T await_resume() { return take(); }

  // Driving from a runtime: start it, and once done() take the result.
  void start() { h_.resume(); }
  bool done() const { return h_.done(); }
  // The produced value; rethrows an exception that escaped the coroutine.
  T take() {
    auto& p = h_.promise();
    if (p.error) std::rethrow_exception(p.error);
    return std::move(*p.value);
  }

 private:
  explicit Task(Handle h) : h_(h) {}
  Handle h_;
};

}  // namespace vorn

#endif  // VORN_ENGINE_TASK_H_
