#ifndef VORN_EVENTS_EVENTS_ENV_H_
#define VORN_EVENTS_EVENTS_ENV_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::events {

// The environment that decides the feed, captured once.
struct EventsEnv {
  std::filesystem::path cwd;              // current directory, "." when unreadable
  std::optional<std::string> events_var;  // VORN_EVENTS; absent when unset or not UTF-8

  // Reads VORN_EVENTS and the current directory.
  static EventsEnv capture();
};

// The events directory ({cwd}/.vorn/events) or none when the feed is off:
// unset => on only if {cwd}/.vorn is an existing directory; set => trimmed, and off when
// empty or "0"/"off"/"false" (ASCII case-insensitive), on otherwise.
std::optional<std::filesystem::path> resolve_events_dir(const EventsEnv& env);

// Whether `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace vorn::events

#endif  // VORN_EVENTS_EVENTS_ENV_H_
