#ifndef VORN_ENGINE_TRACE_REF_H_
#define VORN_ENGINE_TRACE_REF_H_

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

// Where a call can be found in the live event feed: the feed's run identifier and the
// sequence number of the call's "call_start" record. Text form "{run}#{seq}".
struct TraceRef {
  const std::string* run;  // owned by the engine's event sink, which outlives every call
  std::uint64_t seq;
};

// Appends " trace: vorn trace {run}#{seq}" to a failure message when the call has a trace
// reference, first ending the message with "." if it does not already end with one.
void append_trace_ref(std::string& message, const std::optional<TraceRef>& trace);

}  // namespace vorn

#endif  // VORN_ENGINE_TRACE_REF_H_
