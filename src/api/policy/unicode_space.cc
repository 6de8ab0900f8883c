#include "api/policy/unicode_space.h"

#include <cstddef>
#include <cstdint>

namespace vorn {

namespace {

bool is_space_code_point(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Length in bytes of the white space character starting at `pos`, or 0 when the
// character there is not white space (or not valid UTF-8).
std::size_t space_at(std::string_view s, std::size_t pos) {
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(pos);
  if (c < 0x80) return is_space_code_point(c) ? 1 : 0;
  if (c == 0xC2 && pos + 1 < s.size()) {
    unsigned char d = b(pos + 1);
    return (d == 0x85 || d == 0xA0) ? 2 : 0;
  }
  if ((c == 0xE1 || c == 0xE2 || c == 0xE3) && pos + 2 < s.size()) {
    unsigned char d = b(pos + 1), e = b(pos + 2);
    if ((d & 0xC0) != 0x80 || (e & 0xC0) != 0x80) return 0;
    std::uint32_t cp = ((c & 0x0Fu) << 12) | ((d & 0x3Fu) << 6) | (e & 0x3Fu);
    return is_space_code_point(cp) ? 3 : 0;
  }
  return 0;
}

// Length in bytes of the white space character ending just before `end`, or 0.
std::size_t space_before(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    std::size_t start = end - len;
    unsigned char c = static_cast<unsigned char>(s[start]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
    return space_at(s, start) == len ? len : 0;
  }
  return 0;
}

}  // namespace

std::string_view trim_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t n = space_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t n = space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_space(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t pos = 0, start = 0;
  bool in_token = false;
  while (pos < text.size()) {
    std::size_t n = space_at(text, pos);
    if (n == 0) {
      if (!in_token) {
        start = pos;
        in_token = true;
      }
      ++pos;
    } else {
      if (in_token) out.push_back(text.substr(start, pos - start));
      in_token = false;
      pos += n;
    }
  }
  if (in_token) out.push_back(text.substr(start));
  return out;
}

}  // namespace vorn
