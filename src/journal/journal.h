#ifndef VORN_JOURNAL_JOURNAL_H_
#define VORN_JOURNAL_JOURNAL_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "api/result.h"
#include "journal/error.h"
#include "journal/records.h"
#include "journal/types.h"

namespace vorn::journal {

// The durable store behind flows and the persistent response cache. One instance is
// shared (std::shared_ptr<Journal>) by the engine, every open flow handle and its
// heartbeat thread; every operation may be called from any thread at any time, and
// each is atomic on its own. Payload and cache bytes are stored and returned verbatim.
//
// "now" is the backend's clock (milliseconds since the Unix epoch). Durations are
// milliseconds, added to now with saturation. A `seq` above INT64_MAX fails before
// any storage access with the corrupt error for "seq". Nothing is retried: storage
// failures surface as they are and the caller decides what they mean.
class Journal {
 public:
  virtual ~Journal() = default;

  // Creates the flow row (status running, no lease, created_at = updated_at = now) if
  // no row has this flow_id; an existing row is left untouched. Returns flow.flow_id.
  virtual Result<FlowId, Error> begin_flow(const NewFlow& flow) = 0;

  // Insert-or-replace of the step at (flow_id, seq). Replacing overwrites everything
  // but started_at, so a terminal record keeps its running record's start time. The
  // flow row must exist.
  virtual Status<Error> record_step(const FlowId& flow_id, std::uint64_t seq,
                                    const StepKey& step_key, const StepOutcome& outcome) = 0;

  // The step at (flow_id, seq) only if it was recorded under step_key.
  virtual Result<std::optional<StepOutcome>, Error> lookup_step(const FlowId& flow_id,
                                                                std::uint64_t seq,
                                                                const StepKey& step_key) = 0;

  // The step at (flow_id, seq) whatever its key.
  virtual Result<std::optional<KeyedStep>, Error> step_at(const FlowId& flow_id,
                                                          std::uint64_t seq) = 0;

  virtual Result<std::optional<FlowDescriptor>, Error> get_flow(const FlowId& flow_id) = 0;

  // Sets status, updated_at = now and clears the lease, unless the flow is completed
  // (completed is final). A missing flow is not an error.
  virtual Status<Error> complete_flow(const FlowId& flow_id, FlowStatus status) = 0;

  // Running flows by flow_id ascending. expired: lease absent or lease_expires < now
  // (free to take over). !expired: lease_expires present and >= now (held live).
  virtual Result<std::vector<FlowDescriptor>, Error> incomplete_flows(bool expired) = 0;

  // Takes or renews the lease of a running flow when it is free, already held by
  // `holder`, has no expiry or has expired (lease_expires < now): sets holder,
  // lease_expires = now + ttl_ms, updated_at = now and returns true. Otherwise changes
  // nothing and returns false (also for a missing or non-running flow).
  virtual Result<bool, Error> acquire_lease(const FlowId& flow_id, const ProcessId& holder,
                                            std::uint64_t ttl_ms) = 0;

  // Insert-or-replace; expires_at = now + ttl_ms.
  virtual Status<Error> put_cache(const CacheKey& key, const Bytes& value,
                                  std::uint64_t ttl_ms) = 0;

  // The value while expires_at > now; an expired entry reads as absent (not deleted).
  virtual Result<std::optional<Bytes>, Error> get_cache(const CacheKey& key) = 0;

  // Every flow of the entry point, any status, by created_at ascending.
  virtual Result<std::vector<FlowDescriptor>, Error> flows_by_entrypoint(
      std::string_view entrypoint) = 0;

  // Every step of the flow by seq ascending, markers, value and running steps included.
  virtual Result<std::vector<KeyedStep>, Error> steps_for_flow(const FlowId& flow_id) = 0;
};

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_JOURNAL_H_
