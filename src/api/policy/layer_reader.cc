#include "api/policy/layer_reader.h"

#include <initializer_list>

namespace vorn {

namespace {

// The value at `path` below `root`, following object members only.
const Json* member_path(const Json& root, std::initializer_list<std::string_view> path) {
  const Json* at = &root;
  for (std::string_view name : path) {
    if (!at->is_object()) return nullptr;
    auto it = at->find(name);
    if (it == at->end()) return nullptr;
    at = &*it;
  }
  return at;
}

}  // namespace

std::optional<Json> layer_lookup(const Json& raw_document, std::string_view target,
                                 std::string_view key) {
  if (const Json* v = member_path(raw_document, {"target", target, key})) return *v;
  if (target.starts_with("llm:")) {
    if (const Json* v = member_path(raw_document, {"defaults", "llm", key})) return *v;
  }
  if (const Json* v = member_path(raw_document, {"defaults", "outbound", key})) return *v;
  return std::nullopt;
}

}  // namespace vorn
