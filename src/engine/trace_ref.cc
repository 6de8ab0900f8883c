#include "engine/trace_ref.h"

namespace vorn {

void append_trace_ref(std::string& message, const std::optional<TraceRef>& trace) {
  if (!trace) return;
  if (message.empty() || message.back() != '.') message += '.';
  message += " trace: vorn trace ";
  message += *trace->run;
  message += '#';
  message += std::to_string(trace->seq);
}

}  // namespace vorn
