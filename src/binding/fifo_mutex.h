#ifndef VORN_BINDING_FIFO_MUTEX_H_
#define VORN_BINDING_FIFO_MUTEX_H_

#include <atomic>
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
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  void unlock() {
    {
      std::lock_guard l(mu_);
      owner_.store(std::thread::id(), std::memory_order_relaxed);
      ++serving_;
    }
    cv_.notify_all();
  }
  // Whether the calling thread holds the mutex (it is then inside a call that holds it,
  // for example running a synchronous effect).
  // Only the owner ever stores its own id, so no other thread can see itself here.
  bool held_by_this_thread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::uint64_t next_ticket_ = 0;       // guarded by mu_
  std::uint64_t serving_ = 0;           // guarded by mu_
  std::atomic<std::thread::id> owner_;  // written under mu_ by the owner; read lock-free
};

}  // namespace vorn::py

#endif  // VORN_BINDING_FIFO_MUTEX_H_
