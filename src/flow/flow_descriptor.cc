#include "flow/flow_descriptor.h"

namespace vorn::flow {

journal::FlowId flow_id_for(const FlowDescriptor& descriptor) {
  return descriptor.entrypoint + "#" + descriptor.args_hash + "#" +
         descriptor.explicit_key.value_or("");
}

}  // namespace vorn::flow
