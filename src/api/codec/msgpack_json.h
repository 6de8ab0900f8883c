#ifndef VORN_API_CODEC_MSGPACK_JSON_H_
#define VORN_API_CODEC_MSGPACK_JSON_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/json.h"
#include "api/result.h"

namespace vorn {

// Deepest container nesting accepted by the encoder and the decoder. A scalar has
// depth 0, an array or object holding only scalars (or nothing) depth 1, and so on:
// 1024 nested arrays are accepted, 1025 are not.
inline constexpr std::size_t kMaxMsgpackDepth = 1024;

// The MessagePack form of a JSON value: null as nil, booleans, integers in the
// shortest form (non-negative ones in the unsigned forms, negative ones in the signed
// forms), every other number as float 64, strings as str, arrays, objects as maps
// with str keys in ascending byte order (Json's own order); every str/array/map with
// its shortest header. Fails with an error text when the value nests deeper than
// kMaxMsgpackDepth (or holds a nlohmann binary value, or a text/container of more than
// 2^32-1 bytes/elements).
Result<std::vector<std::uint8_t>, std::string> encode_msgpack_value(const Json& value);

// encode_msgpack_value without the error text.
std::optional<std::vector<std::uint8_t>> encode_msgpack(const Json& value);

// Reads ONE MessagePack value from the start of `bytes` into a JSON value; the bytes
// after it are not looked at. Accepts nil, bool, every int/uint form (non-negative
// values stored as unsigned, negative as signed), float 32/64, str, arrays and maps
// with str keys (a repeated key keeps its last value). Fails with a short error text
// on bin, ext, non-str keys, the reserved marker 0xc1, truncated data, a declared
// length beyond the remaining bytes (checked before anything is allocated) and nesting
// deeper than kMaxMsgpackDepth. Iterative and bounds-checked: safe on any bytes.
// `consumed`, when given, receives the number of bytes the value occupied (on success).
Result<Json, std::string> decode_msgpack_value(std::span<const std::uint8_t> bytes,
                                               std::size_t* consumed = nullptr);

// decode_msgpack_value without the error text.
std::optional<Json> decode_msgpack(std::span<const std::uint8_t> bytes);

// The {"schema", "payload"} envelope shared by step payloads and persistent
// cache entries.
struct SchemaEnvelope {
  std::string schema;
  Json payload;
};

// 0x82, "schema", the str `schema`, "payload", the value. Fails as
// encode_msgpack_value does (the payload has the full kMaxMsgpackDepth budget).
Result<std::vector<std::uint8_t>, std::string> encode_schema_envelope(std::string_view schema,
                                                                      const Json& payload);

// Reads one envelope from the start of `bytes`: a map whose keys include "schema" (a
// str) and "payload" (a JSON value, full kMaxMsgpackDepth budget) in any order, other
// entries skipped (any MessagePack value, bin/ext included, nesting bounded); or an
// array of exactly two elements [schema, payload]. A missing or repeated field, a
// wrong type, a non-str key or truncated bytes fail with an error text. Trailing bytes
// are ignored. The schema text is not checked here.
Result<SchemaEnvelope, std::string> decode_schema_envelope(std::span<const std::uint8_t> bytes);

}  // namespace vorn

#endif  // VORN_API_CODEC_MSGPACK_JSON_H_
