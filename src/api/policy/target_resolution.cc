#include "api/policy/target_resolution.h"

#include <algorithm>
#include <vector>

namespace vorn {

namespace {

constexpr std::string_view kAiPlatformHost = "aiplatform.googleapis.com";

constexpr std::array<LlmHost, 4> kLlmHosts = {{
    {"api.openai.com", "openai"},
    {"api.anthropic.com", "anthropic"},
    {"generativelanguage.googleapis.com", "google-genai"},
    {kAiPlatformHost, "google-genai"},
}};

constexpr std::string_view kMethods[] = {"GET",   "HEAD",   "POST",   "PUT",
                                         "PATCH", "DELETE", "OPTIONS"};

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::size_t code_points(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::optional<OutboundKeyParts> parse_outbound_key(std::string_view key) {
  OutboundKeyParts parts;
  std::string_view rest = key;
  for (std::string_view m : kMethods) {
    if (rest.size() > m.size() && rest.starts_with(m) && rest[m.size()] == ' ') {
      parts.method = rest.substr(0, m.size());
      rest.remove_prefix(m.size() + 1);
      break;
    }
  }
  std::string_view host_port = rest;
  if (std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
    parts.path = rest.substr(slash);
    host_port = rest.substr(0, slash);
  }
  parts.host = host_port;
  if (std::size_t colon = host_port.rfind(':'); colon != std::string_view::npos) {
    std::string_view digits = host_port.substr(colon + 1);
    bool ok = !digits.empty();
    std::uint32_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9' || value > 65535) {
        ok = false;
        break;
      }
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (ok && value <= 65535) {
      parts.port = static_cast<std::uint16_t>(value);
      parts.host = host_port.substr(0, colon);
    }
  }
  if (parts.host.empty()) return std::nullopt;
  return parts;
}

bool is_bare_host_key(std::string_view key) {
  if (key.find('*') != std::string_view::npos) return false;
  auto parts = parse_outbound_key(key);
  return parts && !parts->method && !parts->port && !parts->path;
}

bool has_non_network_prefix(std::string_view key) {
  for (std::string_view p : {"py:", "ts:", "rs:", "llm:", "tool:", "mcp:"}) {
    if (key.starts_with(p)) return true;
  }
  return false;
}

std::optional<std::string_view> llm_provider_for_host(std::string_view host) {
  for (const auto& [h, provider] : kLlmHosts) {
    if (host == h) return provider;
  }
  if (host.size() > kAiPlatformHost.size() && host.ends_with(kAiPlatformHost) &&
      host[host.size() - kAiPlatformHost.size() - 1] == '-')
    return "google-genai";
  return std::nullopt;
}

bool wildcard_match(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos;  // position of the most recent '*'
  std::size_t resume = 0;                     // text position that '*' has absorbed up to
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::optional<OutboundPattern> OutboundPattern::from_key(std::string_view key) {
  auto parts = parse_outbound_key(key);
  if (!parts) return std::nullopt;
  OutboundPattern p;
  p.key = std::string(key);
  p.host = ascii_lower(parts->host);
  if (parts->method) p.method = std::string(*parts->method);
  p.port = parts->port;
  if (parts->path) p.path = std::string(*parts->path);
  p.wildcard_count = static_cast<std::size_t>(std::count(key.begin(), key.end(), '*'));
  p.literal_count = code_points(key) - p.wildcard_count;
  return p;
}

bool OutboundPattern::more_specific_than(const OutboundPattern& other) const {
  if (wildcard_count != other.wildcard_count) return wildcard_count < other.wildcard_count;
  if (literal_count != other.literal_count) return literal_count > other.literal_count;
  if (method.has_value() != other.method.has_value()) return method.has_value();
  return key < other.key;
}

const std::array<LlmHost, 4>& Policy::known_llm_hosts() {
  return kLlmHosts;
}

std::string Policy::resolve_target(std::optional<std::string_view> method, std::string_view host,
                                   std::optional<std::string_view> scheme,
                                   std::optional<std::uint16_t> port,
                                   std::optional<std::string_view> path) const {
  if (auto provider = llm_provider_for_host(host)) return "llm:" + std::string(*provider);

  if (!has_non_network_prefix(host) && target.count(std::string(host)) != 0 &&
      is_bare_host_key(host))
    return std::string(host);

  std::vector<OutboundPattern> patterns;
  for (const auto& entry : target) {
    const std::string& key = entry.first;
    if (has_non_network_prefix(key) || is_bare_host_key(key)) continue;
    if (auto p = OutboundPattern::from_key(key)) patterns.push_back(std::move(*p));
  }
  if (!patterns.empty()) {
    std::stable_sort(
        patterns.begin(), patterns.end(),
        [](const OutboundPattern& a, const OutboundPattern& b) { return a.more_specific_than(b); });
    std::string req_host = ascii_lower(host);
    std::string req_method = method ? ascii_upper(*method) : "GET";
    std::string_view req_path = path && !path->empty() ? *path : std::string_view("/");
    std::optional<std::uint16_t> req_port = port;
    if (!req_port && scheme == "https") req_port = 443;
    if (!req_port && scheme == "http") req_port = 80;
    for (const OutboundPattern& p : patterns) {
      if (p.method && *p.method != req_method) continue;
      if (!wildcard_match(p.host, req_host)) continue;
      if (p.port && p.port != req_port) continue;
      if (p.path && !wildcard_match(*p.path, req_path)) continue;
      return p.key;
    }
  }
  return std::string(host);
}

}  // namespace vorn
