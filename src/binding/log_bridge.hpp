// The core's reports on their way to Python's logging: kept natively as they happen (on any thread,
// the event thread included, which never takes the interpreter lock), and handed to the handler
// Python registered whenever a call into this module returns to the interpreter.
#pragma once
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace fdh::binding {

// Installs the core's log sink (once) and sets the handler: a callable(level: int, text: str)
// with logging's levels; None drops the reports.
void set_log_handler(nb::handle handler);

// Hands the waiting reports to the handler. Needs the interpreter lock; cheap when none wait.
void deliver_logs();

}  // namespace fdh::binding
