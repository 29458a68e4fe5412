#include "python/printing.hpp"

#include <cstdio>

#include "python/interpreter.hpp"

namespace fdh::py {

void print(nb::handle value) { global("print")(value); }
void print(const std::string& text) { global("print")(nb::str(text.data(), text.size())); }
void print2(const std::string& first, nb::handle second) {
    global("print")(nb::str(first.data(), first.size()), second);
}

void write_stderr(const std::string& text) {
    global("sys").attr("stderr").attr("write")(nb::str(text.data(), text.size()));
}
void flush_stderr() { global("sys").attr("stderr").attr("flush")(); }

std::string hex_upper(unsigned long long v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", width, v);
    return buf;
}

}  // namespace fdh::py
