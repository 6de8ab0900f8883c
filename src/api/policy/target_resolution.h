#ifndef VORN_API_POLICY_TARGET_RESOLUTION_H_
#define VORN_API_POLICY_TARGET_RESOLUTION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/policy/policy.h"

namespace vorn {

// The parts of an outbound key "[METHOD ]host[:port][/path]", as views into the key.
struct OutboundKeyParts {
  std::string_view host;  // non-empty; may contain '*'
  std::optional<std::string_view> method;
  std::optional<std::uint16_t> port;
  std::optional<std::string_view> path;  // starts with '/'; may contain '*'

  bool operator==(const OutboundKeyParts&) const = default;
};

// Splits a key without trimming: a leading "GET ", "HEAD ", "POST ", "PUT ", "PATCH ",
// "DELETE " or "OPTIONS " is the method; the path runs from the first '/'; digits after
// the last ':' of the rest form the port when they are at most 65535 (otherwise the
// colon stays part of the host). None when the host comes out empty.
std::optional<OutboundKeyParts> parse_outbound_key(std::string_view key);

// A key with no '*' that parses as an outbound key with no method, port or path.
bool is_bare_host_key(std::string_view key);

// Whether `key` starts with one of the prefixes of non-network targets: "py:", "ts:",
// "rs:", "llm:", "tool:", "mcp:".
bool has_non_network_prefix(std::string_view key);

// The provider of an LLM API host ("openai", "anthropic", "google-genai"), compared
// exactly; regional AI Platform hosts ("{region}-aiplatform.googleapis.com") included.
std::optional<std::string_view> llm_provider_for_host(std::string_view host);

// `text` matched against `pattern`, where '*' matches any run of characters and every
// other character only itself, covering the whole text. Linear backtracking on the most
// recent '*'.
bool wildcard_match(std::string_view pattern, std::string_view text);

// A pattern key ready for matching.
struct OutboundPattern {
  std::string key;   // the target key, the result when this pattern wins
  std::string host;  // lower-cased (ASCII)
  std::optional<std::string> method;
  std::optional<std::uint16_t> port;
  std::optional<std::string> path;
  std::size_t wildcard_count = 0;  // '*' characters in the whole key
  std::size_t literal_count = 0;   // other characters (code points) in the whole key

  // None when `key` is not an outbound key.
  static std::optional<OutboundPattern> from_key(std::string_view key);

  // More specific first: fewer wildcards, more literal characters, a method, then the
  // smaller key.
  bool more_specific_than(const OutboundPattern& other) const;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_TARGET_RESOLUTION_H_
