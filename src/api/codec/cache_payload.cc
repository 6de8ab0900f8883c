#include "api/codec/cache_payload.h"

#include <utility>

#include "api/codec/msgpack_json.h"
#include "api/text.h"

namespace vorn {

Result<std::vector<std::uint8_t>, std::string> encode_cache_payload(const Json& payload) {
  return encode_schema_envelope(kCachePayloadSchema, payload);
}

Result<Json, std::string> decode_cache_payload(std::span<const std::uint8_t> bytes) {
  auto r = decode_schema_envelope(bytes);
  if (!r.ok()) return "messagepack decode failed: " + r.error();
  SchemaEnvelope envelope = std::move(r).value();
  if (envelope.schema != kCachePayloadSchema) {
    return "unrecognized cache payload schema " + quote(envelope.schema);
  }
  return std::move(envelope.payload);
}

}  // namespace vorn
