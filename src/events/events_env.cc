#include "events/events_env.h"

#include <cstdlib>
#include <system_error>

namespace vorn::events {

namespace {

// Length of the Unicode White_Space character at the start of `s`, or 0.
std::size_t leading_space_len(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && s.size() >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (s.size() >= 3) {
    if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
    if (c == 0xE2 && b(1) == 0x80 &&
        (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF) && b(2) >= 0x80)
      return 3;                                               // U+2000-200A, 2028, 2029, 202F
    if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
    if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  }
  return 0;
}

// Length of the Unicode White_Space character at the end of `s`, or 0.
std::size_t trailing_space_len(std::string_view s) {
  if (s.empty()) return 0;
  unsigned char last = static_cast<unsigned char>(s.back());
  if (last < 0x80) return leading_space_len(s.substr(s.size() - 1));
  for (std::size_t n : {2u, 3u}) {
    if (s.size() >= n && leading_space_len(s.substr(s.size() - n)) == n) return n;
  }
  return 0;
}

std::string_view trim(std::string_view s) {
  while (std::size_t n = leading_space_len(s)) s.remove_prefix(n);
  while (std::size_t n = trailing_space_len(s)) s.remove_suffix(n);
  return s;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += n + 1;
  }
  return true;
}

EventsEnv EventsEnv::capture() {
  EventsEnv env;
  if (const char* v = std::getenv("VORN_EVENTS"); v != nullptr && is_valid_utf8(v)) {
    env.events_var = std::string(v);
  }
  std::error_code ec;
  env.cwd = std::filesystem::current_path(ec);
  if (ec) env.cwd = ".";
  return env;
}

std::optional<std::filesystem::path> resolve_events_dir(const EventsEnv& env) {
  std::filesystem::path base = env.cwd / ".vorn";
  if (!env.events_var) {
    std::error_code ec;
    if (std::filesystem::is_directory(base, ec)) return base / "events";
    return std::nullopt;
  }
  std::string_view v = trim(*env.events_var);
  if (v.empty() || v == "0" || ascii_iequals(v, "off") || ascii_iequals(v, "false")) {
    return std::nullopt;
  }
  return base / "events";
}

}  // namespace vorn::events
