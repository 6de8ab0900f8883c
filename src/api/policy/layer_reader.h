#ifndef VORN_API_POLICY_LAYER_READER_H_
#define VORN_API_POLICY_LAYER_READER_H_

#include <optional>
#include <string_view>

#include "api/json.h"

namespace vorn {

// One raw setting of the policy document, layered like Policy::resolve but read from
// the stored JSON exactly as written: target.{target}.{key} when present (even when it
// is null, which then hides the defaults), else defaults.llm.{key} for "llm:" targets,
// else defaults.outbound.{key}, else none. A missing member or a non-object on the way
// ends that lookup; a null or non-object document yields none.
std::optional<Json> layer_lookup(const Json& raw_document, std::string_view target,
                                 std::string_view key);

}  // namespace vorn

#endif  // VORN_API_POLICY_LAYER_READER_H_
