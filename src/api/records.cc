#include "api/records.h"

#include <algorithm>
#include <limits>

#include "api/text.h"

namespace vorn {

namespace {

using DecodeError = std::string;

std::string invalid_type(const Json& v, std::string_view expected) {
  return "invalid type: " + describe_unexpected(v) + ", expected " + std::string(expected);
}

std::string invalid_value(const Json& v, std::string_view expected) {
  return "invalid value: " + describe_unexpected(v) + ", expected " + std::string(expected);
}

// Reads an unsigned integer of at most `max`, naming the Rust-style type on failure.
bool read_unsigned(const Json& v, std::uint64_t max, std::string_view type_name, std::uint64_t* out,
                   DecodeError* err) {
  if (v.is_number_unsigned()) {
    std::uint64_t x = v.get<std::uint64_t>();
    if (x > max) {
      *err = invalid_value(v, type_name);
      return false;
    }
    *out = x;
    return true;
  }
  if (v.is_number_integer()) {
    std::int64_t x = v.get<std::int64_t>();
    if (x < 0 || static_cast<std::uint64_t>(x) > max) {
      *err = invalid_value(v, type_name);
      return false;
    }
    *out = static_cast<std::uint64_t>(x);
    return true;
  }
  *err = invalid_type(v, type_name);
  return false;
}

bool read_string(const Json& v, std::string* out, DecodeError* err) {
  if (!v.is_string()) {
    *err = invalid_type(v, "a string");
    return false;
  }
  *out = v.get_ref<const std::string&>();
  return true;
}

}  // namespace

Result<Request, std::string> decode_request(const Json& value) {
  if (!value.is_object()) return invalid_type(value, "struct Request");
  Request req;
  bool has_v = false, has_target = false, has_op = false;
  DecodeError err;
  // Members are visited in key order, as the JSON object keeps them; the first bad
  // value is reported, then the first missing field in declaration order.
  for (const auto& [key, v] : value.items()) {
    if (key == "args_hash") {
      if (!v.is_null()) {
        std::string s;
        if (!read_string(v, &s, &err)) return err;
        req.args_hash = std::move(s);
      }
    } else if (key == "idempotent") {
      if (!v.is_boolean()) return invalid_type(v, "a boolean");
      req.idempotent = v.get<bool>();
    } else if (key == "op") {
      if (!read_string(v, &req.op, &err)) return err;
      has_op = true;
    } else if (key == "target") {
      if (!read_string(v, &req.target, &err)) return err;
      has_target = true;
    } else if (key == "v") {
      std::uint64_t x = 0;
      if (!read_unsigned(v, std::numeric_limits<std::uint32_t>::max(), "u32", &x, &err)) return err;
      req.v = static_cast<std::uint32_t>(x);
      has_v = true;
    }
  }
  if (!has_v) return std::string("missing field `v`");
  if (!has_target) return std::string("missing field `target`");
  if (!has_op) return std::string("missing field `op`");
  return req;
}

Result<AttemptResult, std::string> decode_attempt_result(const Json& value) {
  if (!value.is_object()) return invalid_type(value, "internally tagged enum AttemptResult");
  auto status = value.find("status");
  if (status == value.end()) return std::string("missing field `status`");
  if (!status->is_string()) return invalid_type(*status, "variant identifier");
  const std::string& tag = status->get_ref<const std::string&>();
  DecodeError err;
  if (tag == "ok") {
    auto payload = value.find("payload");
    if (payload == value.end()) return std::string("missing field `payload`");
    return AttemptResult::success(*payload);
  }
  if (tag != "error") return "unknown variant `" + tag + "`, expected `ok` or `error`";
  AttemptResult r;
  bool has_class = false;
  for (const auto& [key, v] : value.items()) {
    if (key == "class") {
      if (!v.is_string()) return invalid_type(v, "variant identifier");
      if (!error_class_from_text(v.get_ref<const std::string&>(), &r.error.error_class)) {
        return "unknown variant `" + v.get<std::string>() +
               "`, expected one of `conn`, `timeout`, `http`, `cancelled`, `other`";
      }
      has_class = true;
    } else if (key == "http_status") {
      if (v.is_null()) continue;
      std::uint64_t x = 0;
      if (!read_unsigned(v, 65535, "u16", &x, &err)) return err;
      r.error.http_status = static_cast<std::uint16_t>(x);
    } else if (key == "message") {
      if (!read_string(v, &r.error.message, &err)) return err;
    } else if (key == "original") {
      if (!v.is_null()) r.error.original = v;
    } else if (key == "retry_after_ms") {
      if (v.is_null()) continue;
      std::uint64_t x = 0;
      if (!read_unsigned(v, std::numeric_limits<std::uint64_t>::max(), "u64", &x, &err)) return err;
      r.error.retry_after_ms = x;
    }
  }
  if (!has_class) return std::string("missing field `class`");
  return r;
}

std::string trace_id_for(std::uint64_t call_number) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + call_number % 10);
    call_number /= 10;
  } while (call_number != 0);
  std::string out = "t-";
  out.reserve(2 + std::max(n, 6));
  out.append(n < 6 ? 6 - n : 0, '0');
  while (n > 0) out += digits[--n];
  return out;
}

Outcome outcome_from_single_attempt(AttemptResult attempt) {
  Outcome o;
  o.attempts = 1;
  o.trace_id = "t-nested";
  if (attempt.ok) {
    o.ok = true;
    o.payload = std::move(attempt.payload);
  } else {
    o.error = OutcomeError{ErrorCode::kE015, attempt.error.error_class, attempt.error.http_status,
                           std::move(attempt.error.message), std::move(attempt.error.original)};
  }
  return o;
}

}  // namespace vorn
