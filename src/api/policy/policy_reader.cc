#include "api/policy/policy_reader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "api/policy/condition.h"
#include "api/policy/duration.h"
#include "api/policy/journal_location.h"
#include "api/policy/rate.h"
#include "api/policy/schedule.h"
#include "api/text.h"

namespace vorn {

namespace {

using Names = std::span<const std::string_view>;

constexpr std::string_view kPolicyFields[] = {"defaults", "target", "flows", "journal",
                                              "telemetry"};
constexpr std::string_view kDefaultsFields[] = {"outbound", "llm"};
constexpr std::string_view kTargetFields[] = {"timeout",     "retry", "breaker",  "rate",  "cache",
                                              "idempotency", "poll",  "fallback", "budget"};
constexpr std::string_view kRetryFields[] = {"attempts", "schedule", "on"};
constexpr std::string_view kBreakerFields[] = {"failures", "cooldown", "window", "failure_rate",
                                               "min_calls"};
constexpr std::string_view kCacheFields[] = {"ttl", "scope", "mode", "key"};
constexpr std::string_view kIdempotencyFields[] = {"header"};
constexpr std::string_view kPollFields[] = {"interval", "deadline", "until"};
constexpr std::string_view kPollUntilFields[] = {"field", "terminal"};
constexpr std::string_view kFlowsFields[] = {"entrypoints", "on_nondeterminism", "on_busy",
                                             "match"};
constexpr std::string_view kMatchRuleFields[] = {"argv"};
constexpr std::string_view kTelemetryFields[] = {"otlp_endpoint", "console"};

constexpr std::string_view kCacheScopes[] = {"memory", "persistent"};
constexpr std::string_view kCacheModes[] = {"always", "dev", "off"};
constexpr std::string_view kCacheKeySources[] = {"args", "url"};
constexpr std::string_view kNondeterminismResponses[] = {"fail", "warn", "branch"};
constexpr std::string_view kOnBusy[] = {"skip", "wait", "fail"};

constexpr std::string_view kBreakerModeError =
    "breaker rate mode requires both `window` and `failure_rate` (count mode sets `failures` "
    "instead)";

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string expected_names(Names names) {
  std::string out;
  if (names.size() == 2) {
    out = "`" + std::string(*names.begin()) + "` or `" + std::string(*(names.begin() + 1)) + "`";
    return out;
  }
  if (names.size() > 2) out = "one of ";
  bool first = true;
  for (std::string_view n : names) {
    if (!first) out += ", ";
    first = false;
    out += "`";
    out += n;
    out += "`";
  }
  return out;
}

std::size_t index_of(Names names, std::string_view name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

// Walks the document, keeping the path of the value being read; the first failure is
// recorded with that path and stops the walk (every read returns false from then on).
class Reader {
 public:
  std::string failure_path() const { return failed_path_.empty() ? "." : failed_path_; }
  const std::string& failure_reason() const { return reason_; }

  bool read_policy(const Json& v, Policy* out) {
    return read_block(v, "Policy", kPolicyFields, [&](std::string_view key, const Json& value) {
      if (key == "defaults") return read_defaults(value, &out->defaults);
      if (key == "target") return read_target_map(value, &out->target);
      if (key == "flows") return read_optional(value, &out->flows, &Reader::read_flows);
      if (key == "journal") return read_optional(value, &out->journal, &Reader::read_location);
      return read_optional(value, &out->telemetry, &Reader::read_telemetry);
    });
  }

 private:
  // Appends a key or index to the path for the lifetime of the guard.
  class Segment {
   public:
    Segment(Reader& r, std::string_view key) : r_(r), saved_(r.path_.size()) {
      if (!r_.path_.empty()) r_.path_ += '.';
      r_.path_ += key;
    }
    Segment(Reader& r, std::size_t index) : r_(r), saved_(r.path_.size()) {
      r_.path_ += '[';
      r_.path_ += std::to_string(index);
      r_.path_ += ']';
    }
    ~Segment() { r_.path_.resize(saved_); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

   private:
    Reader& r_;
    std::size_t saved_;
  };

  bool fail(std::string reason) {
    failed_path_ = path_;
    reason_ = std::move(reason);
    return false;
  }
  bool fail_parse(const ParseError& e) { return fail(e.text()); }
  bool invalid_type(const Json& v, std::string_view what) {
    return fail("invalid type: " + describe_unexpected(v) + ", expected " + std::string(what));
  }
  bool invalid_value(const Json& v, std::string_view what) {
    return fail("invalid value: " + describe_unexpected(v) + ", expected " + std::string(what));
  }
  bool missing(std::string_view field) {
    return fail("missing field `" + std::string(field) + "`");
  }

  // Reads the members of an object block, refusing keys outside `fields`.
  template <class Fn>
  bool read_block(const Json& v, std::string_view name, Names fields, Fn&& read_field) {
    if (!v.is_object()) return invalid_type(v, "struct " + std::string(name));
    for (auto it = v.begin(); it != v.end(); ++it) {
      const std::string& key = it.key();
      Segment seg(*this, key);
      if (index_of(fields, key) == fields.size())
        return fail("unknown field `" + key + "`, expected " + expected_names(fields));
      if (!read_field(std::string_view(key), it.value())) return false;
    }
    return true;
  }

  // Null means absent; anything else is read by `read`.
  template <class T>
  bool read_optional(const Json& v, std::optional<T>* out, bool (Reader::*read)(const Json&, T*)) {
    if (v.is_null()) {
      out->reset();
      return true;
    }
    T value{};
    if (!(this->*read)(v, &value)) return false;
    *out = std::move(value);
    return true;
  }

  bool read_string(const Json& v, std::string* out) {
    if (!v.is_string()) return invalid_type(v, "a string");
    *out = v.get_ref<const std::string&>();
    return true;
  }

  bool read_strings(const Json& v, std::vector<std::string>* out) {
    if (!v.is_array()) return invalid_type(v, "a sequence");
    out->clear();
    for (std::size_t i = 0; i < v.size(); ++i) {
      Segment seg(*this, i);
      std::string s;
      if (!read_string(v[i], &s)) return false;
      out->push_back(std::move(s));
    }
    return true;
  }

  template <class T, class Parse>
  bool read_grammar(const Json& v, T* out, Parse parse) {
    if (!v.is_string()) return invalid_type(v, "a string");
    auto parsed = parse(v.get_ref<const std::string&>());
    if (!parsed.ok()) return fail_parse(parsed.error());
    *out = std::move(parsed).value();
    return true;
  }
  bool read_duration(const Json& v, DurationMs* out) {
    return read_grammar(v, out, parse_duration);
  }
  bool read_rate(const Json& v, Rate* out) { return read_grammar(v, out, parse_rate); }
  bool read_location(const Json& v, JournalLocation* out) {
    return read_grammar(v, out, parse_journal_location);
  }

  // A JSON integer in [1, max].
  bool read_nonzero(const Json& v, std::uint64_t max, std::string_view what, std::uint64_t* out) {
    if (v.is_number_unsigned()) {
      std::uint64_t x = v.get<std::uint64_t>();
      if (x == 0 || x > max) return invalid_value(v, what);
      *out = x;
      return true;
    }
    if (v.is_number_integer()) {
      std::int64_t x = v.get<std::int64_t>();
      if (x <= 0 || static_cast<std::uint64_t>(x) > max) return invalid_value(v, what);
      *out = static_cast<std::uint64_t>(x);
      return true;
    }
    return invalid_type(v, what);
  }
  bool read_nonzero_u32(const Json& v, std::uint32_t* out) {
    std::uint64_t x = 0;
    if (!read_nonzero(v, std::numeric_limits<std::uint32_t>::max(), "a nonzero u32", &x))
      return false;
    *out = static_cast<std::uint32_t>(x);
    return true;
  }
  bool read_nonzero_u64(const Json& v, std::uint64_t* out) {
    return read_nonzero(v, std::numeric_limits<std::uint64_t>::max(), "a nonzero u64", out);
  }

  // A variant name given as a string, or as the only key of an object whose value is
  // null. Stores the variant's index in `names`.
  bool read_variant(const Json& v, Names names, std::size_t* out) {
    const std::string* name = nullptr;
    if (v.is_string()) {
      name = &v.get_ref<const std::string&>();
    } else if (v.is_object()) {
      if (v.size() != 1) return invalid_value(v, "map with a single key");
      name = &v.begin().key();
    } else {
      return invalid_type(v, "string or map");
    }
    std::size_t i = index_of(names, *name);
    if (i == names.size())
      return fail("unknown variant `" + *name + "`, expected " + expected_names(names));
    if (v.is_object() && !v.begin().value().is_null())
      return invalid_type(v.begin().value(), "unit");
    *out = i;
    return true;
  }
  template <class E>
  bool read_enum(const Json& v, Names names, E* out) {
    std::size_t i = 0;
    if (!read_variant(v, names, &i)) return false;
    *out = static_cast<E>(i);
    return true;
  }

  bool read_defaults(const Json& v, Defaults* out) {
    return read_block(v, "Defaults", kDefaultsFields, [&](std::string_view key, const Json& value) {
      auto* slot = key == "outbound" ? &out->outbound : &out->llm;
      return read_optional(value, slot, &Reader::read_target_policy);
    });
  }

  bool read_target_map(const Json& v, std::map<std::string, TargetPolicy>* out) {
    if (!v.is_object()) return invalid_type(v, "a map");
    for (auto it = v.begin(); it != v.end(); ++it) {
      Segment seg(*this, it.key());
      TargetPolicy block;
      if (!read_target_policy(it.value(), &block)) return false;
      (*out)[it.key()] = std::move(block);
    }
    return true;
  }

  bool read_target_policy(const Json& v, TargetPolicy* out) {
    return read_block(v, "TargetPolicy", kTargetFields,
                      [&](std::string_view key, const Json& value) {
                        if (key == "timeout")
                          return read_optional(value, &out->timeout, &Reader::read_duration);
                        if (key == "retry")
                          return read_optional(value, &out->retry, &Reader::read_retry);
                        if (key == "breaker")
                          return read_optional(value, &out->breaker, &Reader::read_breaker);
                        if (key == "rate")
                          return read_optional(value, &out->rate, &Reader::read_rate);
                        if (key == "cache")
                          return read_optional(value, &out->cache, &Reader::read_cache);
                        if (key == "idempotency")
                          return read_optional(value, &out->idempotency, &Reader::read_idempotency);
                        if (key == "poll")
                          return read_optional(value, &out->poll, &Reader::read_poll);
                        if (key == "fallback")
                          return read_optional(value, &out->fallback, &Reader::read_strings);
                        return read_optional(value, &out->budget, &Reader::read_string);
                      });
  }

  bool read_retry(const Json& v, RetryPolicy* out) {
    *out = RetryPolicy::default_policy();
    return read_block(v, "RetryPolicy", kRetryFields, [&](std::string_view key, const Json& value) {
      if (key == "attempts") return read_nonzero_u32(value, &out->attempts);
      if (key == "schedule") return read_grammar(value, &out->schedule, parse_schedule);
      if (!value.is_array()) return invalid_type(value, "a sequence");
      out->on.clear();
      for (std::size_t i = 0; i < value.size(); ++i) {
        Segment seg(*this, i);
        Condition c;
        if (!read_grammar(value[i], &c, parse_condition)) return false;
        out->on.push_back(c);
      }
      return true;
    });
  }

  bool read_breaker(const Json& v, BreakerPolicy* out) {
    *out = BreakerPolicy{};
    bool ok = read_block(
        v, "BreakerPolicyDe", kBreakerFields, [&](std::string_view key, const Json& value) {
          if (key == "failures")
            return read_optional(value, &out->failures, &Reader::read_nonzero_u64);
          if (key == "cooldown") return read_duration(value, &out->cooldown);
          if (key == "window") return read_optional(value, &out->window, &Reader::read_duration);
          if (key == "min_calls")
            return read_optional(value, &out->min_calls, &Reader::read_nonzero_u32);
          if (value.is_null()) {
            out->failure_rate.reset();
            return true;
          }
          if (!value.is_number()) return invalid_type(value, "f64");
          double rate = value.get<double>();
          if (!(rate > 0.0 && rate <= 1.0))
            return fail("breaker.failure_rate must be greater than 0 and at most 1 (got " +
                        format_f64(rate) + ")");
          out->failure_rate = rate;
          return true;
        });
    if (!ok) return false;
    bool rate_knob = out->window || out->failure_rate;
    bool both = out->window && out->failure_rate;
    if (rate_knob && !both && !out->failures) return fail(std::string(kBreakerModeError));
    if (!rate_knob && out->min_calls && !out->failures) return fail(std::string(kBreakerModeError));
    return true;
  }

  bool read_cache(const Json& v, CachePolicy* out) {
    *out = CachePolicy{};
    return read_block(v, "CachePolicy", kCacheFields, [&](std::string_view key, const Json& value) {
      if (key == "ttl") return read_optional(value, &out->ttl, &Reader::read_duration);
      if (key == "scope") return read_enum(value, kCacheScopes, &out->scope);
      if (key == "mode") return read_enum(value, kCacheModes, &out->mode);
      return read_enum(value, kCacheKeySources, &out->key);
    });
  }

  bool read_idempotency(const Json& v, IdempotencyPolicy* out) {
    bool has_header = false;
    if (!read_block(v, "IdempotencyPolicy", kIdempotencyFields,
                    [&](std::string_view, const Json& value) {
                      has_header = true;
                      return read_string(value, &out->header);
                    }))
      return false;
    if (!has_header) return missing("header");
    return true;
  }

  bool read_poll(const Json& v, PollPolicy* out) {
    bool has_interval = false, has_deadline = false, has_until = false;
    if (!read_block(v, "PollPolicyRaw", kPollFields, [&](std::string_view key, const Json& value) {
          if (key == "interval") {
            has_interval = true;
            return read_duration(value, &out->interval);
          }
          if (key == "deadline") {
            has_deadline = true;
            return read_duration(value, &out->deadline);
          }
          has_until = true;
          return read_poll_until(value, &out->until);
        }))
      return false;
    if (!has_interval) return missing("interval");
    if (!has_deadline) return missing("deadline");
    if (!has_until) return missing("until");
    if (out->interval == 0)
      return fail_parse(ParseError{"0", "poll.interval", "must be a nonzero duration"});
    return true;
  }

  bool read_poll_until(const Json& v, PollUntil* out) {
    bool has_field = false, has_terminal = false;
    if (!read_block(v, "PollUntilRaw", kPollUntilFields,
                    [&](std::string_view key, const Json& value) {
                      if (key == "field") {
                        has_field = true;
                        return read_string(value, &out->field);
                      }
                      has_terminal = true;
                      return read_strings(value, &out->terminal);
                    }))
      return false;
    if (!has_field) return missing("field");
    if (!has_terminal) return missing("terminal");
    if (out->field.empty()) return fail_parse(parse_error("(empty)", "poll until.field"));
    if (out->terminal.empty())
      return fail_parse(parse_error("(empty array)", "poll until.terminal"));
    return true;
  }

  bool read_flows(const Json& v, FlowsPolicy* out) {
    return read_block(v, "FlowsPolicy", kFlowsFields, [&](std::string_view key, const Json& value) {
      if (key == "entrypoints") return read_strings(value, &out->entrypoints);
      if (key == "on_nondeterminism")
        return read_enum(value, kNondeterminismResponses, &out->on_nondeterminism);
      if (key == "on_busy") return read_enum(value, kOnBusy, &out->on_busy);
      return read_optional(value, &out->match, &Reader::read_match_map);
    });
  }

  bool read_match_map(const Json& v, std::map<std::string, FlowMatchRule>* out) {
    if (!v.is_object()) return invalid_type(v, "a map");
    for (auto it = v.begin(); it != v.end(); ++it) {
      Segment seg(*this, it.key());
      FlowMatchRule rule;
      if (!read_match_rule(it.value(), &rule)) return false;
      (*out)[it.key()] = std::move(rule);
    }
    return true;
  }

  bool read_match_rule(const Json& v, FlowMatchRule* out) {
    bool has_argv = false;
    if (!read_block(v, "FlowMatchRule", kMatchRuleFields, [&](std::string_view, const Json& value) {
          has_argv = true;
          return read_strings(value, &out->argv);
        }))
      return false;
    if (!has_argv) return missing("argv");
    return true;
  }

  bool read_telemetry(const Json& v, TelemetryPolicy* out) {
    return read_block(v, "TelemetryPolicy", kTelemetryFields,
                      [&](std::string_view key, const Json& value) {
                        if (key == "otlp_endpoint")
                          return read_optional(value, &out->otlp_endpoint, &Reader::read_string);
                        if (!value.is_boolean()) return invalid_type(value, "a boolean");
                        out->console = value.get<bool>();
                        return true;
                      });
  }

  std::string path_;
  std::string failed_path_;
  std::string reason_;
};

}  // namespace

Result<Policy, VornError> read_policy(const Json& document) {
  Reader reader;
  Policy policy;
  if (!reader.read_policy(document, &policy)) {
    return vorn_error(ErrorCode::kE001, "policy invalid at " + reader.failure_path() + ": " +
                                            reader.failure_reason());
  }
  return policy;
}

}  // namespace vorn
