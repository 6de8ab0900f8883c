#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/policy/target_resolution.h"

namespace vorn {
namespace {

Policy with_targets(const std::vector<const char*>& keys) {
  Policy p;
  for (const char* k : keys) p.target[k] = TargetPolicy{};
  return p;
}

struct Request {
  Request(std::optional<std::string_view> method, std::string_view host,
          std::optional<std::string_view> scheme = {}, std::optional<std::uint16_t> port = {},
          std::optional<std::string_view> path = {})
      : method(method), host(host), scheme(scheme), port(port), path(path) {}
  std::optional<std::string_view> method;
  std::string_view host;
  std::optional<std::string_view> scheme;
  std::optional<std::uint16_t> port;
  std::optional<std::string_view> path;
};

std::string resolve(const Policy& p, const Request& r) {
  return p.resolve_target(r.method, r.host, r.scheme, r.port, r.path);
}

TEST(OutboundKeyTest, Parsing) {
  struct Case {
    const char* key;
    std::optional<OutboundKeyParts> parts;
  };
  const Case cases[] = {
      {"api.shop.test", OutboundKeyParts{"api.shop.test", {}, {}, {}}},
      {"POST api.shop.test/orders/*", OutboundKeyParts{"api.shop.test", "POST", {}, "/orders/*"}},
      {"api.shop.test:8443", OutboundKeyParts{"api.shop.test", {}, 8443, {}}},
      {"api.shop.test:", OutboundKeyParts{"api.shop.test:", {}, {}, {}}},
      {"api.shop.test:65536", OutboundKeyParts{"api.shop.test:65536", {}, {}, {}}},
      {"api.shop.test:99999999999999999999",
       OutboundKeyParts{"api.shop.test:99999999999999999999", {}, {}, {}}},
      {"h:1:2/a:3", OutboundKeyParts{"h:1", {}, 2, "/a:3"}},
      {"post api", OutboundKeyParts{"post api", {}, {}, {}}},
      {"GET  x", OutboundKeyParts{" x", "GET", {}, {}}},
      {"GETx", OutboundKeyParts{"GETx", {}, {}, {}}},
      {"GET", OutboundKeyParts{"GET", {}, {}, {}}},
      {"DELETE *:0/", OutboundKeyParts{"*", "DELETE", 0, "/"}},
      {"/path", std::nullopt},
      {":443", std::nullopt},
      {"GET /x", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_outbound_key(c.key), c.parts) << c.key;

  EXPECT_TRUE(is_bare_host_key("api.shop.test"));
  EXPECT_TRUE(is_bare_host_key("api.shop.test:"));
  EXPECT_FALSE(is_bare_host_key("*.shop.test"));
  EXPECT_FALSE(is_bare_host_key("api.shop.test:443"));
  EXPECT_FALSE(is_bare_host_key("GET api.shop.test"));
  EXPECT_FALSE(is_bare_host_key("api.shop.test/x"));
  EXPECT_FALSE(is_bare_host_key(""));
}

TEST(OutboundPatternTest, CountsAndOrder) {
  auto p = OutboundPattern::from_key("GET *.Shop.test/\u00e9*");
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->host, "*.shop.test");
  EXPECT_EQ(p->wildcard_count, 2u);
  EXPECT_EQ(p->literal_count, 16u);  // "é" is one character
  EXPECT_EQ(OutboundPattern::from_key("api.*.test")->literal_count, 9u);
  EXPECT_EQ(OutboundPattern::from_key("*.shop.test")->literal_count, 10u);
}

TEST(WildcardMatchTest, Table) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  };
  const Case cases[] = {
      {"*", "", true},
      {"*", "anything", true},
      {"", "", true},
      {"", "a", false},
      {"a*", "a", true},
      {"*a", "ba", true},
      {"*a", "ab", false},
      {"a*b*c", "axxbyyc", true},
      {"a*b*c", "axxbyy", false},
      {"*.shop.test", "api.shop.test", true},
      {"*.shop.test", "shop.test", false},
      {"a**", "a", true},
      {"*aab", "aaaab", true},
      {"a*a*a", "aaa", true},
      {"a*a*a", "aa", false},
      {"/orders/*", "/Orders/42", false},
      {"x*", "*", false},
      {"*", "*", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wildcard_match(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
}

TEST(ResolveTargetTest, LlmHosts) {
  Policy p = with_targets({"api.openai.com", "*"});
  EXPECT_EQ(resolve(p, {{}, "api.openai.com"}), "llm:openai");
  EXPECT_EQ(resolve(p, {{}, "api.anthropic.com"}), "llm:anthropic");
  EXPECT_EQ(resolve(p, {{}, "generativelanguage.googleapis.com"}), "llm:google-genai");
  EXPECT_EQ(resolve(p, {{}, "aiplatform.googleapis.com"}), "llm:google-genai");
  EXPECT_EQ(resolve(p, {{}, "us-central1-aiplatform.googleapis.com"}), "llm:google-genai");
  EXPECT_EQ(resolve(Policy{}, {{}, "-aiplatform.googleapis.com"}), "llm:google-genai");
  EXPECT_EQ(resolve(Policy{}, {{}, "xaiplatform.googleapis.com"}), "xaiplatform.googleapis.com");
  EXPECT_EQ(resolve(Policy{}, {{}, "API.OPENAI.COM"}), "API.OPENAI.COM");
  const auto& hosts = Policy::known_llm_hosts();
  ASSERT_EQ(hosts.size(), 4u);
  EXPECT_EQ(hosts[0], LlmHost("api.openai.com", "openai"));
  EXPECT_EQ(hosts[1], LlmHost("api.anthropic.com", "anthropic"));
  EXPECT_EQ(hosts[2], LlmHost("generativelanguage.googleapis.com", "google-genai"));
  EXPECT_EQ(hosts[3], LlmHost("aiplatform.googleapis.com", "google-genai"));
}

TEST(ResolveTargetTest, Tiers) {
  struct Case {
    std::vector<const char*> keys;
    Request request;
    const char* expected;
  };
  const Case cases[] = {
      // Exact bare hosts are case-sensitive; patterns see the lower-cased host.
      {{"api.shop.test"}, {{}, "api.shop.test"}, "api.shop.test"},
      {{"api.shop.test"}, {{}, "API.SHOP.TEST"}, "API.SHOP.TEST"},
      {{"api.shop.test", "*.shop.test"}, {{}, "API.SHOP.TEST"}, "*.shop.test"},
      // An exact bare host beats any pattern.
      {{"api.shop.test", "GET api.shop.test"}, {{}, "api.shop.test"}, "api.shop.test"},
      // Fewer wildcards, then more literal characters, then a method, then the key.
      {{"*.shop.test", "api.*.test"}, {{}, "api.shop.test"}, "*.shop.test"},
      {{"*.shop.test", "api.shop.test:80"}, {{}, "api.shop.test", "http"}, "api.shop.test:80"},
      {{"*.shop.test", "GET *.shop.tes*"}, {{}, "api.shop.test"}, "*.shop.test"},
      {{"api.shop.*", "GET api.*"}, {{}, "api.shop.test"}, "api.shop.*"},
      {{"*.shop.test/", "GET *.shop.test"}, {{}, "api.shop.test"}, "GET *.shop.test"},
      {{"b*.test", "a*.test", "*b.test"}, {{}, "ab.test"}, "*b.test"},
      // Methods are upper-cased; no method counts as GET.
      {{"POST api.shop.test"}, {{}, "api.shop.test"}, "api.shop.test"},
      {{"POST api.shop.test"}, {"post", "api.shop.test"}, "POST api.shop.test"},
      {{"GET api.shop.test"}, {{}, "api.shop.test"}, "GET api.shop.test"},
      // Ports: explicit, or from an exact "https"/"http" scheme.
      {{"api.shop.test:443"}, {{}, "api.shop.test", "https"}, "api.shop.test:443"},
      {{"api.shop.test:443"}, {{}, "api.shop.test", "HTTPS"}, "api.shop.test"},
      {{"api.shop.test:443"}, {{}, "api.shop.test", "https", 8443}, "api.shop.test"},
      {{"api.shop.test:8443"}, {{}, "api.shop.test", "https", 8443}, "api.shop.test:8443"},
      {{"api.shop.test:443"}, {{}, "api.shop.test"}, "api.shop.test"},
      // Paths are case-sensitive; none or empty counts as "/".
      {{"api.shop.test/orders/*"},
       {{}, "api.shop.test", {}, {}, "/orders/42"},
       "api.shop.test/orders/*"},
      {{"api.shop.test/orders/*"}, {{}, "api.shop.test", {}, {}, "/Orders/42"}, "api.shop.test"},
      {{"api.shop.test/orders/*"}, {{}, "api.shop.test"}, "api.shop.test"},
      {{"api.shop.test/"}, {{}, "api.shop.test", {}, {}, ""}, "api.shop.test/"},
      // A trailing colon is part of a bare host, matched only exactly.
      {{"api.shop.test:"}, {{}, "api.shop.test"}, "api.shop.test"},
      {{"api.shop.test:"}, {{}, "api.shop.test:"}, "api.shop.test:"},
      // Non-network keys never act as patterns, nor as exact bare hosts.
      {{"py:module.fn"}, {{}, "py:module.fn"}, "py:module.fn"},
      {{"py:module.fn", "*"}, {{}, "py:module.fn"}, "*"},
      {{"tool:*"}, {{}, "tool:x"}, "tool:x"},
      {{"llm:*", "mcp:*", "ts:*", "rs:*"}, {{}, "anything"}, "anything"},
      // Hosts come back as given when nothing matches.
      {{}, {{}, "Mixed.Case"}, "Mixed.Case"},
  };
  for (const Case& c : cases) {
    Policy p = with_targets(c.keys);
    EXPECT_EQ(resolve(p, c.request), c.expected) << c.request.host;
  }
}

}  // namespace
}  // namespace vorn
