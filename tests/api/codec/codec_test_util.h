#ifndef VORN_TESTS_API_CODEC_CODEC_TEST_UTIL_H_
#define VORN_TESTS_API_CODEC_CODEC_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::testing {

using Bytes = std::vector<std::uint8_t>;

// Bytes from hexadecimal pairs, blanks ignored: hex("82 a6").
inline Bytes hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

}  // namespace vorn::testing

#endif  // VORN_TESTS_API_CODEC_CODEC_TEST_UTIL_H_
