#ifndef VORN_BINDING_LOG_SINK_H_
#define VORN_BINDING_LOG_SINK_H_

namespace vorn::py {

// Routes the core's log records to Python's `logging`, one logger per target
// ("vornex_core.engine", "vornex_core.flow", "vornex_core.events"). A record's named fields
// travel as the dict attribute `vorn_fields` of the LogRecord.
//
// Which levels are enabled is read from the loggers' effective levels when the module is
// imported, when a handle is created and on every `configure`; in between a disabled
// level costs the core one atomic load, and takes no interpreter lock.
void install_log_sink();    // requires the interpreter lock
void refresh_log_levels();  // requires the interpreter lock

}  // namespace vorn::py

#endif  // VORN_BINDING_LOG_SINK_H_
