#ifndef VORN_API_CODEC_CACHE_PAYLOAD_H_
#define VORN_API_CODEC_CACHE_PAYLOAD_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/json.h"
#include "api/result.h"

namespace vorn {

// The tag of a persistent cache entry.
inline constexpr std::string_view kCachePayloadSchema = "vorn.cache/v1";

// The entry for encoding: the tag and a borrowed value.
struct CachePayloadRef {
  std::string_view schema;
  const Json& payload;
};

// The entry as decoded: the tag and the owned value.
struct CachePayloadOwned {
  std::string schema;
  Json payload;
};

// The bytes 0x82 "schema" "vorn.cache/v1" "payload" value. The error text (for the
// warning "persistent cache encode failed; entry not stored") says why, e.g. "value
// nested deeper than 1024 levels".
Result<std::vector<std::uint8_t>, std::string> encode_cache_payload(const Json& payload);

// The payload of a "vorn.cache/v1" entry, or the reason it is unusable, exactly:
//   "messagepack decode failed: {error}"   (not an envelope, missing field, wrong type,
//                                           truncated, bin/ext, non-str key, too deep)
//   "unrecognized cache payload schema {schema}"   ({schema} as vorn::quote shows it)
Result<Json, std::string> decode_cache_payload(std::span<const std::uint8_t> bytes);

}  // namespace vorn

#endif  // VORN_API_CODEC_CACHE_PAYLOAD_H_
