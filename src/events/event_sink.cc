#include "events/event_sink.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include "api/log.h"
#include "events/ndjson.h"

namespace vorn::events {

namespace {

constexpr std::size_t kBufferSize = 8192;
constexpr auto kFlushTimeout = std::chrono::seconds(5);
constexpr int kOpenTries = 3;

// Rust-style text of an OS error: "No such file or directory (os error 2)".
std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::uint64_t wall_clock_ms() {
  auto d = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A fast, non-cryptographic 16-bit random number.
std::uint16_t random_u16() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(::getpid()) << 40) ^
      (counter.fetch_add(0x632be59bd9b4e019ULL, std::memory_order_relaxed));
  return static_cast<std::uint16_t>(splitmix64(seed) >> 48);
}

void append_hex(std::string& out, std::uint64_t n, int min_digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  char buf[16];
  int len = 0;
  do {
    buf[len++] = kHex[n & 0xF];
    n >>= 4;
  } while (n != 0);
  for (int i = len; i < min_digits; ++i) out.push_back('0');
  while (len > 0) out.push_back(buf[--len]);
}

// The feed file behind an 8192-byte buffer. Write errors are swallowed; the
// affected bytes are lost.
class BufferedFile {
 public:
  explicit BufferedFile(int fd) : fd_(fd) { buf_.reserve(kBufferSize); }
  ~BufferedFile() {
    flush();
    if (fd_ >= 0) ::close(fd_);
  }
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  void write(std::string_view data) {
    if (buf_.size() + data.size() > kBufferSize) flush();
    if (data.size() >= kBufferSize) {
      write_all(data);
    } else {
      buf_.append(data);
    }
  }

  void flush() {
    if (buf_.empty()) return;
    write_all(buf_);
    buf_.clear();
  }

 private:
  void write_all(std::string_view data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
      ssize_t n = ::write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // the error is ignored; the rest is lost
      }
      if (n == 0) return;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }

  int fd_;
  std::string buf_;
};

}  // namespace

EventSink::EventSink(std::string run, std::filesystem::path path)
    : run_(std::move(run)), path_(std::move(path)) {}

std::string EventSink::make_run_id(std::uint64_t wall_ms) {
  std::string id;
  id.reserve(21);
  append_hex(id, wall_ms, 11);
  id.push_back('-');
  append_hex(id, random_u16(), 4);
  return id;
}

std::unique_ptr<EventSink> EventSink::from_env() {
  return from_env(EventsEnv::capture());
}

std::unique_ptr<EventSink> EventSink::from_env(const EventsEnv& env) {
  std::optional<std::filesystem::path> dir = resolve_events_dir(env);
  if (!dir) return nullptr;
  auto opened = open(*dir);
  if (!opened.ok()) {
    VORN_LOG(kEvents, kWarn, "event sink unavailable; live events disabled", {"dir", dir->string()},
             {"error", opened.error()});
    return nullptr;
  }
  return std::move(opened).value();
}

Result<std::unique_ptr<EventSink>, std::string> EventSink::open(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return os_error_text(ec.value());

  int fd = -1;
  std::string run;
  std::filesystem::path path;
  for (int attempt = 1;; ++attempt) {
    run = make_run_id(wall_clock_ms());
    path = dir / (run + ".ndjson");
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    int err = errno;
    if (err == EINTR) continue;
    if (err != EEXIST || attempt >= kOpenTries) return os_error_text(err);
  }
  return start(fd, std::move(run), std::move(path), wall_clock_ms(),
               static_cast<std::uint32_t>(::getpid()));
}

Result<std::unique_ptr<EventSink>, std::string> EventSink::start(int fd, std::string run,
                                                                 std::filesystem::path path,
                                                                 std::uint64_t wall_ms,
                                                                 std::uint32_t pid) {
  std::unique_ptr<EventSink> sink(new EventSink(std::move(run), std::move(path)));
  try {
    EventSink* raw = sink.get();
    sink->writer_ = std::thread([raw, fd] { raw->write_loop(fd); });
  } catch (const std::system_error& e) {
    ::close(fd);
    sink->receiver_open_ = false;
    return os_error_text(e.code().value());
  }
  sink->emit(0, RunStart{sink->run_, wall_ms, pid});
  return sink;
}

EventSink::~EventSink() {
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (receiver_open_) {
      queue_.emplace_back(std::in_place_type<ShutdownMsg>);
      urgent_ = true;
      notify = true;
    }
  }
  if (notify) cv_.notify_one();
  if (writer_.joinable()) writer_.join();
}

std::uint64_t EventSink::emit(std::uint64_t ms, EventKind kind) {
  bool notify = false;
  std::uint64_t seq;
  {
    std::lock_guard<std::mutex> lock(mu_);
    seq = next_seq_++;
    if (receiver_open_) {
      queue_.emplace_back(std::in_place_type<Event>, Event{1, seq, ms, std::move(kind)});
      notify = writer_waiting_;
      writer_waiting_ = false;
    }
  }
  if (notify) cv_.notify_one();
  return seq;
}

void EventSink::flush() {
  std::promise<void> ack;
  std::future<void> done = ack.get_future();
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!receiver_open_) return;
    queue_.emplace_back(std::in_place_type<FlushMsg>, FlushMsg{std::move(ack)});
    urgent_ = true;
    notify = true;
  }
  if (notify) cv_.notify_one();
  done.wait_for(kFlushTimeout);
}

// Swaps the queued messages into `batch` (which must be empty); with `wait`, blocks until
// there is at least one. Returns whether `batch` holds any.
//
// Waking the writer costs the emitting thread a system call, so a waiting writer first
// lingers for a moment without asking to be woken: events emitted meanwhile are collected
// into one batch (one write) at the end of the linger. A Flush or Shutdown cuts the linger
// short. Only a writer that found nothing after lingering blocks and asks emitters to wake it.
// So under steady traffic an event reaches the file at most one linger after it was emitted;
// flush() remains the way to make everything visible at once.
bool EventSink::take_batch(std::vector<Msg>& batch, bool wait) {
  constexpr auto kLinger = std::chrono::milliseconds(10);
  std::unique_lock<std::mutex> lock(mu_);
  if (wait && queue_.empty()) {
    cv_.wait_for(lock, kLinger, [&] { return urgent_; });
    while (queue_.empty()) {
      writer_waiting_ = true;
      cv_.wait(lock);
    }
    writer_waiting_ = false;
  }
  urgent_ = false;
  batch.swap(queue_);
  return !batch.empty();
}

void EventSink::write_loop(int fd) {
  pthread_setname_np(pthread_self(), "vorn-events");
  std::vector<Msg> batch;
  std::string line;
  line.reserve(256);
  try {
    BufferedFile file(fd);
    bool stop = false;
    while (!stop) {
      bool wait = true;
      while (!stop && take_batch(batch, wait)) {
        wait = false;  // after a batch, keep draining without waiting
        for (Msg& msg : batch) {
          if (Event* ev = std::get_if<Event>(&msg)) {
            line.clear();
            append_event_line(line, *ev);
            file.write(line);
          } else if (FlushMsg* f = std::get_if<FlushMsg>(&msg)) {
            file.flush();
            f->ack.set_value();
          } else {
            stop = true;
            break;
          }
        }
        batch.clear();  // drops anything behind a Shutdown (a Flush there is released)
      }
      file.flush();  // the queue ran empty, or the writer is stopping
    }
  } catch (...) {
    // A writer that fails ends like one that was shut down.
  }
  std::vector<Msg> rest;
  {
    std::lock_guard<std::mutex> lock(mu_);
    receiver_open_ = false;
    rest.swap(queue_);
  }
}

}  // namespace vorn::events
