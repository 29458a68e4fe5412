#pragma once
#include <nanobind/nanobind.h>

namespace fdh::py {
// The demonstration run when the module is the main program: one FD frame every 10 ms until Ctrl-C.
void run_demonstration(nanobind::module_ m);
}
