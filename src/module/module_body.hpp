#pragma once
#include <nanobind/nanobind.h>

namespace fdh::py {
// Everything loading the module creates, in load order, then the SIGINT handler; when the module
// runs as the main program, the demonstration follows.
void run_module_body(nanobind::module_ m);
}
