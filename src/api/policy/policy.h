#ifndef VORN_API_POLICY_POLICY_H_
#define VORN_API_POLICY_POLICY_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/policy/breaker_policy.h"
#include "api/policy/cache_policy.h"
#include "api/policy/duration.h"
#include "api/policy/flows_policy.h"
#include "api/policy/journal_location.h"
#include "api/policy/poll_policy.h"
#include "api/policy/rate.h"
#include "api/policy/resolved_policy.h"
#include "api/policy/retry_policy.h"

namespace vorn {

// Names the request header that carries idempotency keys; stored and resolved only.
struct IdempotencyPolicy {
  std::string header;

  bool operator==(const IdempotencyPolicy&) const = default;
};

// The settings of one target (or of a defaults layer); every field optional.
struct TargetPolicy {
  std::optional<DurationMs> timeout;
  std::optional<RetryPolicy> retry;
  std::optional<BreakerPolicy> breaker;
  std::optional<Rate> rate;
  std::optional<CachePolicy> cache;
  std::optional<IdempotencyPolicy> idempotency;
  std::optional<PollPolicy> poll;
  std::optional<std::vector<std::string>> fallback;  // read only through the raw document
  std::optional<std::string> budget;                 // read only through the raw document

  bool operator==(const TargetPolicy&) const = default;
};

struct Defaults {
  std::optional<TargetPolicy> outbound;  // every target
  std::optional<TargetPolicy> llm;       // "llm:" targets, ahead of outbound

  bool operator==(const Defaults&) const = default;
};

struct TelemetryPolicy {
  std::optional<std::string> otlp_endpoint;
  bool console = true;

  bool operator==(const TelemetryPolicy&) const = default;
};

// A (host, provider) pair of the fixed LLM host map.
using LlmHost = std::pair<std::string_view, std::string_view>;

// The typed policy document. A default-constructed Policy is the empty policy: no
// defaults, no targets, no flows, journal or telemetry blocks.
struct Policy {
  Defaults defaults;
  std::map<std::string, TargetPolicy> target;  // sorted by key, byte-wise
  std::optional<FlowsPolicy> flows;
  std::optional<JournalLocation> journal;
  std::optional<TelemetryPolicy> telemetry;

  // The effective policy of `target_key`, field by field: the target's own block, then
  // defaults.llm when the key starts with "llm:", then defaults.outbound. Blocks are
  // taken whole, never merged.
  ResolvedPolicy resolve(std::string_view target_key) const;

  // The target key of an outbound request: the LLM host map, then an exact bare-host
  // key, then the most specific matching pattern key, else `host` itself. Never fails.
  std::string resolve_target(std::optional<std::string_view> method, std::string_view host,
                             std::optional<std::string_view> scheme,
                             std::optional<std::uint16_t> port,
                             std::optional<std::string_view> path) const;

  // The four (host, provider) pairs of the LLM host map, in their fixed order.
  static const std::array<LlmHost, 4>& known_llm_hosts();

  // flows.on_nondeterminism, or kFail without a flows block.
  NondeterminismResponse nondeterminism_response() const;
  // telemetry.otlp_endpoint, when both are present.
  std::optional<std::string> telemetry_otlp_endpoint() const;

  // One warning text per breaker block that sets `failures` together with window,
  // failure_rate or min_calls, in the order defaults.outbound, defaults.llm, then the
  // targets in key order.
  std::vector<std::string> inert_breaker_warnings() const;

  bool operator==(const Policy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_POLICY_H_
