#ifndef VORN_FLOW_FLOW_DESCRIPTOR_H_
#define VORN_FLOW_FLOW_DESCRIPTOR_H_

#include <optional>
#include <string>

#include "journal/types.h"

namespace vorn::flow {

// What a caller asks to enter: one execution of a user entry point. Distinct from the
// journal's FlowDescriptor, which is a stored flow row.
struct FlowDescriptor {
  std::string entrypoint;                   // e.g. "py:pipeline.ingest:main"
  std::string args_hash;                    // the front end's hash of the arguments
  std::optional<std::string> explicit_key;  // separates runs with equal arguments
  std::optional<std::string> code_hash;     // the front end's hash of the flow's code
};

// "{entrypoint}#{args_hash}#{explicit_key}"; an absent explicit key contributes the empty
// text, so such an id ends with "#".
journal::FlowId flow_id_for(const FlowDescriptor& descriptor);

}  // namespace vorn::flow

#endif  // VORN_FLOW_FLOW_DESCRIPTOR_H_
