#ifndef VORN_FLOW_VALUE_STEPS_H_
#define VORN_FLOW_VALUE_STEPS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "journal/types.h"

namespace vorn::flow {

// Payload codecs of the flow's own journaled values. The FlowHandle operations that use
// them (journal_time, journal_random, recorded_idempotency_key) are defined in
// value_steps.cc.

// The step envelope around `now_ms` as a JSON integer; empty if it cannot be encoded.
journal::Bytes time_payload(std::int64_t now_ms);

// The clock reading in a recorded time payload, or `fallback` when the bytes do not
// decode to a JSON integer within the signed 64-bit range.
std::int64_t time_from_payload(std::span<const std::uint8_t> bytes, std::int64_t fallback);

// The envelope around {"idempotency_key": key}; absent if it cannot be encoded.
std::optional<journal::Bytes> idempotency_key_payload(std::string_view key);

// The "idempotency_key" string of a recorded running step's payload; absent when the
// bytes do not decode to an object with such a string member.
std::optional<std::string> idempotency_key_from_payload(std::span<const std::uint8_t> bytes);

}  // namespace vorn::flow

#endif  // VORN_FLOW_VALUE_STEPS_H_
