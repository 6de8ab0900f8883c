#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "api/policy/policy_reader.h"

namespace vorn {
namespace {

Result<Policy, VornError> read(const char* json) {
  return read_policy(Json::parse(json));
}

TEST(PolicyReaderTest, ErrorsNameThePathAndReason) {
  struct Case {
    const char* document;
    const char* message;  // after "policy invalid at "
  };
  const Case cases[] = {
      {"null", ".: invalid type: null, expected struct Policy"},
      {"[]", ".: invalid type: sequence, expected struct Policy"},
      {R"({"foo": 1})",
       "foo: unknown field `foo`, expected one of `defaults`, `target`, `flows`, `journal`, "
       "`telemetry`"},
      {R"({"target": {"api": {"retries": 3}}})",
       "target.api.retries: unknown field `retries`, expected one of `timeout`, `retry`, "
       "`breaker`, `rate`, `cache`, `idempotency`, `poll`, `fallback`, `budget`"},
      {R"({"target": {"api": {"timeout": 30}}})",
       "target.api.timeout: invalid type: integer `30`, expected a string"},
      {R"({"target": {"api": {"timeout": "30x"}}})",
       "target.api.timeout: unparseable duration literal: \"30x\""},
      {R"({"target": {"api.shop.test": {"rate": "100/m"}}})",
       "target.api.shop.test.rate: unparseable rate literal: \"100/m\""},
      {R"({"target": {"b": {"timeout": 1}, "a": {"timeout": 2}}})",
       "target.a.timeout: invalid type: integer `2`, expected a string"},
      {R"({"target": null})", "target: invalid type: null, expected a map"},
      {R"({"target": {"api": null}})",
       "target.api: invalid type: null, expected struct TargetPolicy"},
      {R"({"defaults": null})", "defaults: invalid type: null, expected struct Defaults"},
      {R"({"defaults": {"outbound": {}, "extra": 1}})",
       "defaults.extra: unknown field `extra`, expected `outbound` or `llm`"},
      {R"({"defaults": {"llm": {"budget": 5}}})",
       "defaults.llm.budget: invalid type: integer `5`, expected a string"},
      // retry
      {R"({"target": {"api": {"retry": {"attempts": 0}}}})",
       "target.api.retry.attempts: invalid value: integer `0`, expected a nonzero u32"},
      {R"({"target": {"api": {"retry": {"attempts": 4294967296}}}})",
       "target.api.retry.attempts: invalid value: integer `4294967296`, expected a nonzero u32"},
      {R"({"target": {"api": {"retry": {"attempts": -1}}}})",
       "target.api.retry.attempts: invalid value: integer `-1`, expected a nonzero u32"},
      {R"({"target": {"api": {"retry": {"attempts": 1.5}}}})",
       "target.api.retry.attempts: invalid type: floating point `1.5`, expected a nonzero u32"},
      {R"({"target": {"api": {"retry": {"attempts": null}}}})",
       "target.api.retry.attempts: invalid type: null, expected a nonzero u32"},
      {R"({"target": {"api": {"retry": {"on": ["5xx", "abc"]}}}})",
       "target.api.retry.on[1]: unparseable retry condition literal: \"abc\""},
      {R"({"target": {"api": {"retry": {"on": ["5xx", 5]}}}})",
       "target.api.retry.on[1]: invalid type: integer `5`, expected a string"},
      {R"({"target": {"api": {"retry": {"on": "5xx"}}}})",
       "target.api.retry.on: invalid type: string \"5xx\", expected a sequence"},
      {R"({"target": {"api": {"retry": {"schedule": "exp(1s, x2) upTo 10s"}}}})",
       "target.api.retry.schedule: invalid schedule literal: \"exp(1s, x2) upTo 10s\" \u2014 "
       "`upTo` must bound every segment except the last, and never the last (an unbounded "
       "segment never hands off; a bounded tail would leave attempts without a wait \u2014 cap "
       "total retrying with `attempts`)"},
      {R"({"target": {"api": {"retry": [3]}}})",
       "target.api.retry: invalid type: sequence, expected struct RetryPolicy"},
      // breaker
      {R"({"target": {"api": {"breaker": {"window": "60s"}}}})",
       "target.api.breaker: breaker rate mode requires both `window` and `failure_rate` (count "
       "mode sets `failures` instead)"},
      {R"({"target": {"api": {"breaker": {"failure_rate": 0.5}}}})",
       "target.api.breaker: breaker rate mode requires both `window` and `failure_rate` (count "
       "mode sets `failures` instead)"},
      {R"({"target": {"api": {"breaker": {"min_calls": 3}}}})",
       "target.api.breaker: breaker rate mode requires both `window` and `failure_rate` (count "
       "mode sets `failures` instead)"},
      {R"({"target": {"api": {"breaker": {"failure_rate": 0}}}})",
       "target.api.breaker.failure_rate: breaker.failure_rate must be greater than 0 and at most "
       "1 (got 0)"},
      {R"({"target": {"api": {"breaker": {"failure_rate": 1.5, "window": 3}}}})",
       "target.api.breaker.failure_rate: breaker.failure_rate must be greater than 0 and at most "
       "1 (got 1.5)"},
      {R"({"target": {"api": {"breaker": {"failure_rate": "x"}}}})",
       "target.api.breaker.failure_rate: invalid type: string \"x\", expected f64"},
      {R"({"target": {"api": {"breaker": {"failures": 0}}}})",
       "target.api.breaker.failures: invalid value: integer `0`, expected a nonzero u64"},
      {R"({"target": {"api": {"breaker": {"min_calls": 0, "failures": 1}}}})",
       "target.api.breaker.min_calls: invalid value: integer `0`, expected a nonzero u32"},
      {R"({"target": {"api": {"breaker": {"cooldown": null}}}})",
       "target.api.breaker.cooldown: invalid type: null, expected a string"},
      {R"({"target": {"api": {"breaker": {"cool": "1s"}}}})",
       "target.api.breaker.cool: unknown field `cool`, expected one of `failures`, `cooldown`, "
       "`window`, `failure_rate`, `min_calls`"},
      {R"({"target": {"api": {"breaker": true}}})",
       "target.api.breaker: invalid type: boolean `true`, expected struct BreakerPolicyDe"},
      // cache
      {R"({"target": {"api": {"cache": {"scope": "disk"}}}})",
       "target.api.cache.scope: unknown variant `disk`, expected `memory` or `persistent`"},
      {R"({"target": {"api": {"cache": {"mode": "never"}}}})",
       "target.api.cache.mode: unknown variant `never`, expected one of `always`, `dev`, `off`"},
      {R"({"target": {"api": {"cache": {"scope": 5}}}})",
       "target.api.cache.scope: invalid type: integer `5`, expected string or map"},
      {R"({"target": {"api": {"cache": {"key": null}}}})",
       "target.api.cache.key: invalid type: null, expected string or map"},
      {R"({"target": {"api": {"cache": {"scope": {"memory": null, "persistent": null}}}}})",
       "target.api.cache.scope: invalid value: map, expected map with a single key"},
      {R"({"target": {"api": {"cache": {"scope": {"persistent": 1}}}}})",
       "target.api.cache.scope: invalid type: integer `1`, expected unit"},
      {R"({"target": {"api": {"cache": "memory"}}})",
       "target.api.cache: invalid type: string \"memory\", expected struct CachePolicy"},
      // idempotency and poll
      {R"({"target": {"api": {"idempotency": {}}}})",
       "target.api.idempotency: missing field `header`"},
      {R"({"target": {"api": {"idempotency": {"name": "x"}}}})",
       "target.api.idempotency.name: unknown field `name`, expected `header`"},
      {R"({"target": {"api": {"poll": {"interval": "1s", "until": {"field": "s", "terminal": ["done"]}}}}})",
       "target.api.poll: missing field `deadline`"},
      {R"({"target": {"api": {"poll": {"interval": "1s", "deadline": "1m", "until": {"field": "s", "terminal": []}}}}})",
       "target.api.poll.until: unparseable poll until.terminal literal: \"(empty array)\""},
      {R"({"target": {"api": {"poll": {"interval": "0s", "deadline": "1m", "until": {"field": "", "terminal": []}}}}})",
       "target.api.poll.until: unparseable poll until.field literal: \"(empty)\""},
      {R"({"target": {"api": {"poll": {"interval": "0ms", "deadline": "1m", "until": {"field": "s", "terminal": ["done"]}}}}})",
       "target.api.poll: invalid poll.interval literal: \"0\" \u2014 must be a nonzero duration"},
      {R"({"target": {"api": {"poll": {"interval": "1s", "deadline": "1m", "until": {"terminal": ["x", 2]}}}}})",
       "target.api.poll.until.terminal[1]: invalid type: integer `2`, expected a string"},
      {R"({"target": {"api": {"poll": {"interval": "1s", "deadline": "1m", "until": {"terminal": ["x"]}}}}})",
       "target.api.poll.until: missing field `field`"},
      {R"({"target": {"api": {"poll": {"until": 1}}}})",
       "target.api.poll.until: invalid type: integer `1`, expected struct PollUntilRaw"},
      {R"({"target": {"api": {"poll": []}}})",
       "target.api.poll: invalid type: sequence, expected struct PollPolicyRaw"},
      {R"({"target": {"api": {"fallback": ["a", 1]}}})",
       "target.api.fallback[1]: invalid type: integer `1`, expected a string"},
      // flows, journal, telemetry
      {R"({"flows": {"on_nondeterminism": "crash"}})",
       "flows.on_nondeterminism: unknown variant `crash`, expected one of `fail`, `warn`, "
       "`branch`"},
      {R"({"flows": {"on_busy": "Skip"}})",
       "flows.on_busy: unknown variant `Skip`, expected one of `skip`, `wait`, `fail`"},
      {R"({"flows": {"entrypoints": null}})",
       "flows.entrypoints: invalid type: null, expected a sequence"},
      {R"({"flows": {"match": {"m": {}}}})", "flows.match.m: missing field `argv`"},
      {R"({"flows": {"match": {"m": {"argv": [1]}}}})",
       "flows.match.m.argv[0]: invalid type: integer `1`, expected a string"},
      {R"({"flows": {"match": {"m": {"args": []}}}})",
       "flows.match.m.args: unknown field `args`, expected `argv`"},
      {R"({"flows": {"match": []}})", "flows.match: invalid type: sequence, expected a map"},
      {R"({"flows": {"match": {"m": null}}})",
       "flows.match.m: invalid type: null, expected struct FlowMatchRule"},
      {R"({"flows": 1})", "flows: invalid type: integer `1`, expected struct FlowsPolicy"},
      {R"({"journal": "sqlite:x"})", "journal: unparseable journal location literal: \"sqlite:x\""},
      {R"({"journal": 1})", "journal: invalid type: integer `1`, expected a string"},
      {R"({"telemetry": {"console": null}})",
       "telemetry.console: invalid type: null, expected a boolean"},
      {R"({"telemetry": {"console": "yes"}})",
       "telemetry.console: invalid type: string \"yes\", expected a boolean"},
      {R"({"telemetry": {"otlp": "x"}})",
       "telemetry.otlp: unknown field `otlp`, expected `otlp_endpoint` or `console`"},
      {R"({"telemetry": []})",
       "telemetry: invalid type: sequence, expected struct TelemetryPolicy"},
  };
  for (const Case& c : cases) {
    auto r = read(c.document);
    ASSERT_FALSE(r.ok()) << c.document;
    EXPECT_EQ(r.error().code, ErrorCode::kE001);
    EXPECT_EQ(r.error().message, std::string("policy invalid at ") + c.message) << c.document;
  }
}

TEST(PolicyReaderTest, NanFailureRateIsReported) {
  // Documents built from program values can hold floats JSON text cannot.
  Json doc = {
      {"target", {{"api", {{"breaker", {{"failure_rate", std::nan("")}, {"window", "1s"}}}}}}}};
  auto r = read_policy(doc);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message,
            "policy invalid at target.api.breaker.failure_rate: breaker.failure_rate must be "
            "greater than 0 and at most 1 (got NaN)");
}

TEST(PolicyReaderTest, EmptyDocumentIsTheEmptyPolicy) {
  auto r = read("{}");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, Policy{});
  EXPECT_EQ(r->nondeterminism_response(), NondeterminismResponse::kFail);
  EXPECT_FALSE(r->telemetry_otlp_endpoint().has_value());
}

TEST(PolicyReaderTest, NullMeansAbsentForOptionalKeys) {
  auto r = read(R"({
    "defaults": {"outbound": null, "llm": null},
    "target": {"api": {"timeout": null, "retry": null, "breaker": null, "rate": null,
                       "cache": {"ttl": null}, "idempotency": null, "poll": null,
                       "fallback": null, "budget": null},
               "b": {"breaker": {"failures": null, "window": null, "failure_rate": null,
                                 "min_calls": null}}},
    "flows": {"match": null},
    "journal": null,
    "telemetry": {"otlp_endpoint": null}
  })");
  ASSERT_TRUE(r.ok()) << r.error().message;
  TargetPolicy only_cache;
  only_cache.cache = CachePolicy{};
  EXPECT_EQ(r->target.at("api"), only_cache);
  TargetPolicy only_breaker;
  only_breaker.breaker = BreakerPolicy{};
  EXPECT_EQ(r->target.at("b"), only_breaker);
  EXPECT_EQ(r->flows, FlowsPolicy{});
  EXPECT_EQ(r->telemetry, TelemetryPolicy{});
  EXPECT_FALSE(r->journal.has_value());
  EXPECT_TRUE(read(R"({"flows": null, "telemetry": null})").ok());
}

TEST(PolicyReaderTest, FullDocument) {
  auto r = read(R"js({
    "defaults": {
      "outbound": {"timeout": "30s",
                   "retry": {"attempts": 5, "schedule": "fixed(1s)", "on": ["503", "conn"]}},
      "llm": {"rate": " 100/min ",
              "cache": {"ttl": "1h", "scope": "persistent", "mode": "dev", "key": {"url": null}}}
    },
    "target": {
      "z": {"breaker": {"window": "60s", "failure_rate": 1, "min_calls": 4, "cooldown": "10s"},
            "idempotency": {"header": "Idempotency-Key"},
            "fallback": ["a", "b"], "budget": "5usd"},
      "a": {"retry": {"attempts": 2},
            "breaker": {"failures": 3, "window": "1s", "failure_rate": 0.5},
            "poll": {"interval": "2s", "deadline": "1m",
                     "until": {"field": "status", "terminal": ["done", "failed"]}}}
    },
    "flows": {"entrypoints": ["main"], "on_nondeterminism": "branch", "on_busy": "wait",
              "match": {"m": {"argv": ["python", "x.py"]}}},
    "journal": "file:.vorn/journal.db",
    "telemetry": {"otlp_endpoint": "http://otel:4317", "console": false}
  })js");
  ASSERT_TRUE(r.ok()) << r.error().message;
  const Policy& p = *r;

  ASSERT_TRUE(p.defaults.outbound.has_value());
  EXPECT_EQ(p.defaults.outbound->timeout, 30000u);
  RetryPolicy outbound_retry{5,
                             *parse_schedule("fixed(1s)"),
                             {Condition::exact(503), Condition::of(Condition::Kind::kConn)}};
  EXPECT_EQ(p.defaults.outbound->retry, outbound_retry);
  ASSERT_TRUE(p.defaults.llm.has_value());
  EXPECT_EQ(p.defaults.llm->rate, (Rate{100, 60000}));
  EXPECT_EQ(p.defaults.llm->cache,
            (CachePolicy{3600000, CacheScope::kPersistent, CacheMode::kDev, CacheKeySource::kUrl}));

  ASSERT_EQ(p.target.size(), 2u);
  EXPECT_EQ(p.target.begin()->first, "a");
  const TargetPolicy& a = p.target.at("a");
  RetryPolicy two = RetryPolicy::default_policy();
  two.attempts = 2;
  EXPECT_EQ(a.retry, two);
  EXPECT_EQ(a.breaker, (BreakerPolicy{3, 15000, 1000, 0.5, std::nullopt}));
  EXPECT_FALSE(a.breaker->rate_mode());
  EXPECT_EQ(a.breaker->count_threshold(), 3u);
  EXPECT_EQ(a.poll, (PollPolicy{2000, 60000, PollUntil{"status", {"done", "failed"}}}));
  const TargetPolicy& z = p.target.at("z");
  EXPECT_EQ(z.breaker, (BreakerPolicy{std::nullopt, 10000, 60000, 1.0, 4}));
  EXPECT_TRUE(z.breaker->rate_mode());
  EXPECT_EQ(z.breaker->min_calls_or_default(), 4u);
  EXPECT_EQ(z.idempotency, IdempotencyPolicy{"Idempotency-Key"});
  EXPECT_EQ(z.fallback, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(z.budget, "5usd");

  ASSERT_TRUE(p.flows.has_value());
  EXPECT_EQ(p.flows->entrypoints, std::vector<std::string>{"main"});
  EXPECT_EQ(p.flows->on_busy, OnBusy::kWait);
  EXPECT_EQ(p.nondeterminism_response(), NondeterminismResponse::kBranch);
  EXPECT_EQ(p.flows->match->at("m").argv, (std::vector<std::string>{"python", "x.py"}));
  EXPECT_EQ(p.journal, JournalLocation{"file:.vorn/journal.db"});
  EXPECT_EQ(p.telemetry_otlp_endpoint(), "http://otel:4317");
  EXPECT_FALSE(p.telemetry->console);
}

TEST(PolicyReaderTest, BreakerModes) {
  auto breaker = [](const char* block) {
    auto r = read_policy(Json{{"target", {{"t", {{"breaker", Json::parse(block)}}}}}});
    EXPECT_TRUE(r.ok()) << block;
    return r.ok() ? *r->target.at("t").breaker : BreakerPolicy{};
  };
  BreakerPolicy empty = breaker("{}");
  EXPECT_EQ(empty.cooldown, 15000u);
  EXPECT_FALSE(empty.rate_mode());
  EXPECT_EQ(empty.count_threshold(), 5u);
  BreakerPolicy rate = breaker(R"({"window": "60s", "failure_rate": 0.5})");
  EXPECT_TRUE(rate.rate_mode());
  EXPECT_EQ(rate.min_calls_or_default(), 10u);
  EXPECT_FALSE(rate.has_inert_rate_knobs());
  BreakerPolicy inert = breaker(R"({"failures": 2, "min_calls": 3})");
  EXPECT_FALSE(inert.rate_mode());
  EXPECT_TRUE(inert.has_inert_rate_knobs());
  EXPECT_FALSE(breaker(R"({"failures": 2})").has_inert_rate_knobs());
  EXPECT_EQ(breaker(R"({"failures": 18446744073709551615})").failures,
            std::numeric_limits<std::uint64_t>::max());
}

TEST(PolicyReaderTest, InertBreakerWarningsInLayerOrder) {
  auto r = read(R"({
    "defaults": {"outbound": {"breaker": {"failures": 1, "window": "1s"}},
                 "llm": {"breaker": {"failures": 1, "failure_rate": 0.2}}},
    "target": {"billing": {"breaker": {"failures": 1, "min_calls": 2}},
               "api": {"breaker": {"failures": 1, "min_calls": 2}},
               "quiet": {"breaker": {"failures": 1}}}
  })");
  ASSERT_TRUE(r.ok()) << r.error().message;
  const std::string tail =
      ".breaker sets `failures` (count mode) alongside rate-mode knobs "
      "(window/failure_rate/min_calls), which are inert in count mode. Remove `failures` to "
      "select rate mode.";
  EXPECT_EQ(r->inert_breaker_warnings(),
            (std::vector<std::string>{"policy defaults.outbound" + tail,
                                      "policy defaults.llm" + tail, "policy target.\"api\"" + tail,
                                      "policy target.\"billing\"" + tail}));
  EXPECT_TRUE(Policy{}.inert_breaker_warnings().empty());
}

// Random documents built from the policy's own vocabulary must be read or refused
// cleanly, never crash.
TEST(PolicyReaderTest, RandomDocumentsAreHandled) {
  std::mt19937_64 gen(7);
  const char* keys[] = {"defaults",  "outbound", "llm",          "target",    "api",      "llm:x",
                        "timeout",   "retry",    "attempts",     "schedule",  "on",       "breaker",
                        "failures",  "window",   "failure_rate", "min_calls", "cooldown", "cache",
                        "ttl",       "scope",    "poll",         "interval",  "deadline", "until",
                        "field",     "terminal", "flows",        "match",     "argv",     "journal",
                        "telemetry", "console",  "idempotency",  "header",    "x"};
  const char* strings[] = {"1s",     "0ms",    "5/s", "exp(1s, x2)", "5xx",
                           "memory", "file:x", "",    "fail"};
  auto random_value = [&](auto& self, int depth) -> Json {
    switch (gen() % (depth > 3 ? 5 : 7)) {
      case 0:
        return nullptr;
      case 1:
        return static_cast<std::int64_t>(gen() % 5) - 1;
      case 2:
        return (gen() % 2) == 0;
      case 3:
        return static_cast<double>(gen() % 4) / 2.0;
      case 4:
        return strings[gen() % std::size(strings)];
      case 5: {
        Json a = Json::array();
        for (std::size_t i = gen() % 3; i > 0; --i) a.push_back(self(self, depth + 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (std::size_t i = gen() % 4; i > 0; --i)
          o[keys[gen() % std::size(keys)]] = self(self, depth + 1);
        return o;
      }
    }
  };
  int accepted = 0;
  for (int i = 0; i < 5000; ++i) {
    Json doc = Json::object();
    doc[keys[gen() % std::size(keys)]] = random_value(random_value, 0);
    auto r = read_policy(doc);
    if (r.ok()) {
      ++accepted;
      (void)r->resolve("llm:x");
      (void)r->inert_breaker_warnings();
    } else {
      EXPECT_EQ(r.error().message.rfind("policy invalid at ", 0), 0u);
    }
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace vorn
