// Output through the interpreter, so a program's redirection and capture of sys.stdout and
// sys.stderr see every line the module writes.
#pragma once
#include <nanobind/nanobind.h>

#include <string>

namespace nb = nanobind;

namespace fdh::py {

// print(...) through the builtins as the module's namespace sees them.
void print(nb::handle value);
void print(const std::string& text);
void print2(const std::string& first, nb::handle second);  // print(first, second)
// sys.stderr.write(text) and sys.stderr.flush() through the module's `sys`.
void write_stderr(const std::string& text);
void flush_stderr();

std::string hex_upper(unsigned long long v, int width);  // format(v, "0{width}X")

}  // namespace fdh::py
