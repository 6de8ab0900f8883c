#include "api/codec/step_payload.h"

#include <utility>

#include "api/codec/msgpack_json.h"

namespace vorn {

std::optional<std::vector<std::uint8_t>> encode_step_payload(const StepPayloadRef& ref) {
  auto r = encode_schema_envelope(ref.schema, ref.payload);
  if (!r.ok()) return std::nullopt;
  return std::move(r).value();
}

std::optional<StepPayloadOwned> decode_step_payload(std::span<const std::uint8_t> bytes) {
  auto r = decode_schema_envelope(bytes);
  if (!r.ok()) return std::nullopt;
  SchemaEnvelope envelope = std::move(r).value();
  return StepPayloadOwned{std::move(envelope.schema), std::move(envelope.payload)};
}

std::optional<std::vector<std::uint8_t>> encode_payload(const Json& value) {
  return encode_step_payload(StepPayloadRef{kStepPayloadSchema, value});
}

std::optional<Json> decode_payload(std::span<const std::uint8_t> bytes) {
  if (auto owned = decode_step_payload(bytes); owned && owned->schema == kStepPayloadSchema) {
    return std::move(owned->payload);
  }
  return decode_msgpack(bytes);
}

}  // namespace vorn
