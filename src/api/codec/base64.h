#ifndef VORN_API_CODEC_BASE64_H_
#define VORN_API_CODEC_BASE64_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vorn {

// Strict standard base64 (RFC 4648 section 4): alphabet A-Z a-z 0-9 "+" "/", "="
// padding required (length a multiple of 4), at most two "=" and only at the very end,
// no whitespace or other characters, and canonical encodings only: the unused low
// bits of the last symbol before padding must be zero ("QQ==" is "A", "QR==" is
// rejected). The empty text decodes to no bytes. Absent on any violation.
std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_CODEC_BASE64_H_
