#ifndef VORN_EVENTS_EVENT_SINK_H_
#define VORN_EVENTS_EVENT_SINK_H_

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "api/result.h"
#include "events/event_record.h"
#include "events/events_env.h"

namespace vorn::events {

// The live event feed of one engine: one NDJSON file, numbered events, and a
// "vorn-events" writer thread that does all file I/O. Any thread may emit.
class EventSink {
 public:
  // Capture the environment, resolve the directory, open. Never fails: with the feed off
  // returns null; when the sink cannot be opened, logs a warning (target kEvents,
  // "event sink unavailable; live events disabled", fields dir and error) and returns null.
  static std::unique_ptr<EventSink> from_env();
  // The same over an explicitly given environment.
  static std::unique_ptr<EventSink> from_env(const EventsEnv& env);

  // Creates `dir` (and ancestors), creates a new feed file "{run}.ndjson" in it (up to three
  // tries on "already exists") and starts the sink. The error is the I/O error's text.
  static Result<std::unique_ptr<EventSink>, std::string> open(const std::filesystem::path& dir);

  // Starts a sink over an already open file descriptor (ownership taken; closed by the
  // writer when it ends, also on failure): starts the writer thread and emits "run_start"
  // (seq 0, ms 0, run, wall_ms, pid). The error is the thread-creation error's text.
  static Result<std::unique_ptr<EventSink>, std::string> start(int fd, std::string run,
                                                               std::filesystem::path path,
                                                               std::uint64_t wall_ms,
                                                               std::uint32_t pid);

  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // Queues Shutdown and joins the writer, which writes and flushes everything queued.
  ~EventSink();

  // Queues one event with the next sequence number and returns that number. Never blocks on
  // I/O; with the writer stopped the event is dropped silently (the number is still used).
  std::uint64_t emit(std::uint64_t ms, EventKind kind);
  // The same for one concrete kind, built straight into its queue slot: the engine emits
  // on every call's path, where the intermediate moves of the record show.
  template <class Kind>
  requires(!std::is_same_v<std::decay_t<Kind>, EventKind>) std::uint64_t
      emit(std::uint64_t ms, Kind&& kind);

  // Returns once every event emitted before the call is written and the file flushed, when
  // the writer stopped, or after 5 seconds at most.
  void flush();

  // The run identifier ("{wall ms hex, >= 11 digits}-{4 hex digits}"), the file's base name.
  const std::string& run() const { return run_; }
  // The feed file's path.
  const std::filesystem::path& path() const { return path_; }

  // A fresh run identifier for the wall clock `wall_ms` (random suffix).
  static std::string make_run_id(std::uint64_t wall_ms);

 private:
  EventSink(std::string run, std::filesystem::path path);
  void write_loop(int fd);
  bool take_batch(std::vector<Msg>& batch, bool wait);

  const std::string run_;
  const std::filesystem::path path_;

  // The emitter lock, a leaf held only to number and queue a message. It also guards the
  // queue, which the writer swaps out in whole batches. Fields below up to writer_ are
  // guarded by mu_.
  std::mutex mu_;
  std::condition_variable cv_;  // wakes the writer
  std::uint64_t next_seq_ = 0;
  std::vector<Msg> queue_;
  bool writer_waiting_ = false;  // the writer is blocked until the queue is non-empty
  bool urgent_ = false;          // a Flush or Shutdown is queued: the writer must not linger
  bool receiver_open_ = true;    // false once the writer thread has ended

  std::thread writer_;  // set once in start(), joined by the destructor
};

template <class Kind>
requires(!std::is_same_v<std::decay_t<Kind>, EventKind>) std::uint64_t EventSink::emit(
    std::uint64_t ms, Kind&& kind) {
  bool notify = false;
  std::uint64_t seq;
  {
    std::lock_guard<std::mutex> lock(mu_);
    seq = next_seq_++;
    if (receiver_open_) {
      Event& event = std::get<Event>(queue_.emplace_back(std::in_place_type<Event>));
      event.seq = seq;
      event.ms = ms;
      event.kind.template emplace<std::decay_t<Kind>>(std::forward<Kind>(kind));
      notify = writer_waiting_;
      writer_waiting_ = false;
    }
  }
  if (notify) cv_.notify_one();
  return seq;
}

}  // namespace vorn::events

#endif  // VORN_EVENTS_EVENT_SINK_H_
