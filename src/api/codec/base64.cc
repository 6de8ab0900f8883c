#include "api/codec/base64.h"

#include <array>

namespace vorn {
namespace {

constexpr std::array<std::int8_t, 256> make_table() {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}

constexpr auto kTable = make_table();

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::size_t pad = 0;
    if (last) {
      if (text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    }
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4 - pad; ++j) {
      const std::int8_t v = kTable[static_cast<unsigned char>(text[i + j])];
      if (v < 0) return std::nullopt;  // '=' in the middle lands here too
      group = (group << 6) | static_cast<std::uint32_t>(v);
    }
    group <<= 6 * pad;
    // Non-canonical: bits below the last encoded byte must be zero.
    if (pad == 2 && (group & 0xffff) != 0) return std::nullopt;
    if (pad == 1 && (group & 0xff) != 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(group));
  }
  return out;
}

}  // namespace vorn
