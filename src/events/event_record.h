#ifndef VORN_EVENTS_EVENT_RECORD_H_
#define VORN_EVENTS_EVENT_RECORD_H_

#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "api/error_code.h"

namespace vorn::events {

// The cache store a lookup consulted; written "memory" / "persistent".
enum class CacheStore : std::uint8_t { kMemory, kPersistent };

std::string_view cache_store_text(CacheStore store);

// The thirteen event kinds of the feed. Members are in the order they are written;
// std::optional members are left out of the line when empty. Strings are moved in.

// "run_start": emitted by the sink itself as seq 0, ms 0.
struct RunStart {
  std::string run;
  std::optional<std::uint64_t> wall_ms;
  std::optional<std::uint32_t> pid;
};

// "call_start"
struct CallStart {
  std::string call;
  std::string target;
  std::string op;
};

// "cache_hit"
struct CacheHit {
  std::string call;
  std::string target;
  CacheStore scope = CacheStore::kMemory;
};

// "cache_miss"
struct CacheMiss {
  std::string call;
  std::string target;
  CacheStore scope = CacheStore::kMemory;
};

// "throttle"
struct Throttle {
  std::string call;
  std::string target;
  std::uint64_t wait_ms = 0;
};

// "breaker_reject"
struct BreakerReject {
  std::string call;
  std::string target;
};

// "breaker_half_open"
struct BreakerHalfOpen {
  std::string call;
  std::string target;
};

// "breaker_open"
struct BreakerOpen {
  std::string call;
  std::string target;
  std::uint64_t cooldown_ms = 0;
};

// "breaker_close"
struct BreakerClose {
  std::string call;
  std::string target;
};

// "attempt_start"
struct AttemptStart {
  std::string call;
  std::string target;
  std::uint32_t attempt = 0;
};

// "attempt_error"; `error_class` is written under the key "class".
struct AttemptError {
  std::string call;
  std::string target;
  std::uint32_t attempt = 0;
  ErrorClass error_class = ErrorClass::kOther;
  std::optional<std::uint16_t> http_status;
};

// "backoff": the attempt that just failed and the wait before the next one.
struct Backoff {
  std::string call;
  std::string target;
  std::uint32_t attempt = 0;
  std::uint64_t wait_ms = 0;
};

// "call_end"
struct CallEnd {
  std::string call;
  std::string target;
  std::string result;
  std::optional<ErrorCode> code;
  std::uint32_t attempts = 0;
};

using EventKind =
    std::variant<RunStart, CallStart, CacheHit, CacheMiss, Throttle, BreakerReject, BreakerHalfOpen,
                 BreakerOpen, BreakerClose, AttemptStart, AttemptError, Backoff, CallEnd>;

// The "event" text of a kind: "run_start", "call_start", ...
std::string_view event_name(const EventKind& kind);

// One event record.
struct Event {
  std::uint32_t v = 1;
  std::uint64_t seq = 0;
  std::uint64_t ms = 0;
  EventKind kind;
};

// Queue messages.
struct FlushMsg {
  // The one-slot acknowledgement channel's sending end. Destroying it unset also
  // releases the waiter (broken promise).
  std::promise<void> ack;
};
struct ShutdownMsg {};

using Msg = std::variant<Event, FlushMsg, ShutdownMsg>;

}  // namespace vorn::events

#endif  // VORN_EVENTS_EVENT_RECORD_H_
