#ifndef VORN_API_CODEC_STEP_PAYLOAD_H_
#define VORN_API_CODEC_STEP_PAYLOAD_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/json.h"

namespace vorn {

// The tag of the step payload envelope.
inline constexpr std::string_view kStepPayloadSchema = "vorn.step/v1";

// The envelope for encoding: the tag and a borrowed value.
struct StepPayloadRef {
  std::string_view schema;
  const Json& payload;
};

// The envelope as decoded: the tag and the owned value.
struct StepPayloadOwned {
  std::string schema;
  Json payload;
};

// 0x82 "schema" str(ref.schema) "payload" value. Absent when the value nests deeper
// than 1024 levels.
std::optional<std::vector<std::uint8_t>> encode_step_payload(const StepPayloadRef& ref);

// Reads one envelope from the start of `bytes` (map with "schema" and "payload" in any
// order, other keys skipped, or the array [schema, payload]); the tag is not checked.
std::optional<StepPayloadOwned> decode_step_payload(std::span<const std::uint8_t> bytes);

// The envelope {"schema": "vorn.step/v1", "payload": value}; absent when the value
// nests deeper than 1024 levels.
std::optional<std::vector<std::uint8_t>> encode_payload(const Json& value);

// The payload of a "vorn.step/v1" envelope; otherwise (not an envelope, a field
// missing, another tag) the whole byte string read as one JSON value; absent when that
// fails too. Only the leading MessagePack value is read; trailing bytes are ignored.
std::optional<Json> decode_payload(std::span<const std::uint8_t> bytes);

}  // namespace vorn

#endif  // VORN_API_CODEC_STEP_PAYLOAD_H_
