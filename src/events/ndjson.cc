#include "events/ndjson.h"

#include <charconv>
#include <cstdint>

namespace vorn::events {

namespace {

void append_u64(std::string& out, std::uint64_t n) {
  char buf[20];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

// ,"key":
void key(std::string& out, std::string_view k) {
  out.push_back(',');
  out.push_back('"');
  out.append(k);
  out.append("\":", 2);
}

void str_field(std::string& out, std::string_view k, std::string_view v) {
  key(out, k);
  append_json_string(out, v);
}

void num_field(std::string& out, std::string_view k, std::uint64_t v) {
  key(out, k);
  append_u64(out, v);
}

// Text that needs no escaping (enumeration texts).
void raw_str_field(std::string& out, std::string_view k, std::string_view v) {
  key(out, k);
  out.push_back('"');
  out.append(v);
  out.push_back('"');
}

void call_target(std::string& out, const std::string& call, const std::string& target) {
  str_field(out, "call", call);
  str_field(out, "target", target);
}

struct Fields {
  std::string& out;

  void operator()(const RunStart& e) const {
    str_field(out, "run", e.run);
    if (e.wall_ms) num_field(out, "wall_ms", *e.wall_ms);
    if (e.pid) num_field(out, "pid", *e.pid);
  }
  void operator()(const CallStart& e) const {
    call_target(out, e.call, e.target);
    str_field(out, "op", e.op);
  }
  void operator()(const CacheHit& e) const {
    call_target(out, e.call, e.target);
    raw_str_field(out, "scope", cache_store_text(e.scope));
  }
  void operator()(const CacheMiss& e) const {
    call_target(out, e.call, e.target);
    raw_str_field(out, "scope", cache_store_text(e.scope));
  }
  void operator()(const Throttle& e) const {
    call_target(out, e.call, e.target);
    num_field(out, "wait_ms", e.wait_ms);
  }
  void operator()(const BreakerReject& e) const { call_target(out, e.call, e.target); }
  void operator()(const BreakerHalfOpen& e) const { call_target(out, e.call, e.target); }
  void operator()(const BreakerOpen& e) const {
    call_target(out, e.call, e.target);
    num_field(out, "cooldown_ms", e.cooldown_ms);
  }
  void operator()(const BreakerClose& e) const { call_target(out, e.call, e.target); }
  void operator()(const AttemptStart& e) const {
    call_target(out, e.call, e.target);
    num_field(out, "attempt", e.attempt);
  }
  void operator()(const AttemptError& e) const {
    call_target(out, e.call, e.target);
    num_field(out, "attempt", e.attempt);
    raw_str_field(out, "class", error_class_text(e.error_class));
    if (e.http_status) num_field(out, "http_status", *e.http_status);
  }
  void operator()(const Backoff& e) const {
    call_target(out, e.call, e.target);
    num_field(out, "attempt", e.attempt);
    num_field(out, "wait_ms", e.wait_ms);
  }
  void operator()(const CallEnd& e) const {
    call_target(out, e.call, e.target);
    str_field(out, "result", e.result);
    if (e.code) raw_str_field(out, "code", error_code_text(*e.code));
    num_field(out, "attempts", e.attempts);
  }
};

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = text.data();
  const char* end = p + text.size();
  const char* run = p;  // start of the pending unescaped run
  for (; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(run, p);
    run = p + 1;
    switch (c) {
      case '"':
        out.append("\\\"", 2);
        break;
      case '\\':
        out.append("\\\\", 2);
        break;
      case 0x08:
        out.append("\\b", 2);
        break;
      case 0x09:
        out.append("\\t", 2);
        break;
      case 0x0A:
        out.append("\\n", 2);
        break;
      case 0x0C:
        out.append("\\f", 2);
        break;
      case 0x0D:
        out.append("\\r", 2);
        break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, 6);
      }
    }
  }
  out.append(run, end);
  out.push_back('"');
}

void append_event_line(std::string& out, const Event& event) {
  out.append("{\"v\":", 5);
  append_u64(out, event.v);
  num_field(out, "seq", event.seq);
  num_field(out, "ms", event.ms);
  raw_str_field(out, "event", event_name(event.kind));
  std::visit(Fields{out}, event.kind);
  out.append("}\n", 2);
}

std::string encode_event_line(const Event& event) {
  std::string out;
  out.reserve(128);
  append_event_line(out, event);
  return out;
}

}  // namespace vorn::events
