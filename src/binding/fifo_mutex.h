#ifndef VORN_BINDING_FIFO_MUTEX_H_
#define VORN_BINDING_FIFO_MUTEX_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vorn::py {

// A mutex that grants ownership strictly in the order it was requested (a ticket lock),
// so calls queued behind an open flow's step are admitted, and journaled, in arrival order.
// Waiting blocks the calling OS thread; callers release the interpreter lock first.
class FifoMutex {
 public:
  void lock() {
    std::unique_lock l(mu_);
    const std::uint64_t ticket = next_ticket_++;
    cv_.wait(l, [&] { return serving_ == ticket; });
    owner_ = std::this_thread::get_id();
  }
  void unlock() {
    {
      std::lock_guard l(mu_);
      owner_ = std::thread::id();
      ++serving_;
    }
    cv_.notify_all();
  }
  // Whether the calling thread holds the mutex (it is then inside a call that holds it,
  // for example running a synchronous effect).
  bool held_by_this_thread() {
    std::lock_guard l(mu_);
    return owner_ == std::this_thread::get_id();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::uint64_t next_ticket_ = 0;  // guarded by mu_
  std::uint64_t serving_ = 0;      // guarded by mu_
  std::thread::id owner_;          // guarded by mu_
};

}  // namespace vorn::py

#endif  // VORN_BINDING_FIFO_MUTEX_H_
