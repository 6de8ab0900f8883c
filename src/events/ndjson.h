#ifndef VORN_EVENTS_NDJSON_H_
#define VORN_EVENTS_NDJSON_H_

#include <string>
#include <string_view>

#include "events/event_record.h"

namespace vorn::events {

// Appends `event` as one NDJSON line, line feed included:
// {"v":1,"seq":N,"ms":N,"event":"...",fields...}\n
void append_event_line(std::string& out, const Event& event);

// The same line as a new string.
std::string encode_event_line(const Event& event);

// Appends `text` as a JSON string literal with exactly the feed's escapes:
// \" \\ \b \t \n \f \r, other bytes below 0x20 as \u00xx (lowercase hex), every other
// byte (including '/' and UTF-8 sequences) as is.
void append_json_string(std::string& out, std::string_view text);

}  // namespace vorn::events

#endif  // VORN_EVENTS_NDJSON_H_
