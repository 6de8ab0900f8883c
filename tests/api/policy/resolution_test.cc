#include <gtest/gtest.h>

#include <string>

#include "api/policy/layer_reader.h"
#include "api/policy/policy_reader.h"

namespace vorn {
namespace {

Policy policy(const Json& doc) {
  auto r = read_policy(doc);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
  return r.ok() ? *r : Policy{};
}

TEST(ResolveTest, LayersPerField) {
  Json outbound_only = {{"defaults", {{"outbound", {{"timeout", "1s"}}}}}};
  EXPECT_EQ(policy(outbound_only).resolve("llm:openai").timeout, 1000u);

  Json doc = {
      {"defaults",
       {{"outbound", {{"timeout", "1s"}, {"cache", {{"ttl", "5s"}}}, {"retry", {{"attempts", 9}}}}},
        {"llm", {{"timeout", "2s"}, {"retry", {{"attempts", 4}}}}}}},
      {"target",
       {{"llm:openai", {{"timeout", "3s"}}},
        {"llm:anthropic", {{"rate", "1/s"}}},
        {"api.shop.test", {{"retry", {{"attempts", 2}}}, {"idempotency", {{"header", "K"}}}}}}}};
  Policy p = policy(doc);

  ResolvedPolicy openai = p.resolve("llm:openai");
  EXPECT_EQ(openai.timeout, 3000u);       // target block wins
  EXPECT_EQ(openai.retry->attempts, 4u);  // then defaults.llm
  EXPECT_EQ(openai.cache->ttl, 5000u);    // then defaults.outbound
  EXPECT_FALSE(openai.rate.has_value());
  EXPECT_FALSE(openai.breaker.has_value());

  EXPECT_EQ(p.resolve("llm:anthropic").timeout, 2000u);
  EXPECT_EQ(p.resolve("llm:anthropic").rate, (Rate{1, 1000}));
  EXPECT_EQ(p.resolve("llm:other").timeout, 2000u);  // no block of its own

  ResolvedPolicy shop = p.resolve("api.shop.test");
  EXPECT_EQ(shop.timeout, 1000u);  // never defaults.llm
  // The target's retry block is taken whole: defaults fill what it leaves out, not the
  // other layers.
  RetryPolicy two = RetryPolicy::default_policy();
  two.attempts = 2;
  EXPECT_EQ(shop.retry, two);
  EXPECT_EQ(shop.idempotency, "K");
  EXPECT_EQ(shop.cache->ttl, 5000u);  // block exists but lacks cache: inherited

  EXPECT_EQ(p.resolve("API.SHOP.TEST").retry->attempts, 9u);  // keys are case-sensitive
  EXPECT_EQ(p.resolve("LLM:openai").timeout, 1000u);
  EXPECT_EQ(Policy{}.resolve("x"), ResolvedPolicy{});
}

TEST(LayerLookupTest, RawValuesThroughLayers) {
  Json doc = Json::parse(R"({
    "defaults": {"outbound": {"timeout": "120s", "budget": "b0", "fallback": ["x"]},
                 "llm": {"timeout": "60s", "budget": null}},
    "target": {"api": {"timeout": null, "fallback": ["y", "z"]},
               "llm:openai": {"retry": {"attempts": 2}},
               "odd": 5}
  })");
  struct Case {
    const char* target;
    const char* key;
    std::optional<Json> expected;
  };
  const Case cases[] = {
      {"api", "timeout", Json(nullptr)},  // explicit null hides the defaults
      {"api", "fallback", Json::parse(R"(["y", "z"])")},
      {"api", "budget", Json("b0")},
      {"other", "timeout", Json("120s")},
      {"llm:openai", "timeout", Json("60s")},
      {"llm:openai", "retry", Json::parse(R"({"attempts": 2})")},
      {"llm:openai", "budget", Json(nullptr)},
      {"llm:", "timeout", Json("60s")},
      {"llm", "timeout", Json("120s")},
      {"odd", "timeout", Json("120s")},  // a non-object target entry is skipped
      {"api", "cache", std::nullopt},
      {"llm:openai", "missing", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(layer_lookup(doc, c.target, c.key), c.expected) << c.target << " " << c.key;
  }
  EXPECT_EQ(layer_lookup(Json(), "api", "timeout"), std::nullopt);
  EXPECT_EQ(layer_lookup(Json::parse(R"({"target": [], "defaults": 1})"), "api", "timeout"),
            std::nullopt);

  // resolve, by contrast, treats the null as absent and falls through.
  EXPECT_EQ(policy(Json::parse(R"({"defaults": {"outbound": {"timeout": "120s"}},
                                   "target": {"api": {"timeout": null}}})"))
                .resolve("api")
                .timeout,
            120000u);
}

TEST(PolicyAccessorsTest, FlowsAndTelemetry) {
  EXPECT_EQ(policy(Json::parse(R"({"flows": {}})")).nondeterminism_response(),
            NondeterminismResponse::kFail);
  EXPECT_EQ(
      policy(Json::parse(R"({"flows": {"on_nondeterminism": "warn"}})")).nondeterminism_response(),
      NondeterminismResponse::kWarn);
  EXPECT_EQ(policy(Json::parse(R"({"telemetry": {}})")).telemetry_otlp_endpoint(), std::nullopt);
  EXPECT_EQ(nondeterminism_response_text(NondeterminismResponse::kBranch), "branch");
  EXPECT_EQ(cache_scope_text(CacheScope::kPersistent), "persistent");
}

}  // namespace
}  // namespace vorn
