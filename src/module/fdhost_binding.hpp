#pragma once
#include <nanobind/nanobind.h>

namespace fdh::py {
// The class `fdhost` with its methods in their defined order.
void bind_fdhost(nanobind::module_& m);
}
