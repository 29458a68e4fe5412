#include "python/printing.hpp"

#include <cstdio>

#include "python/interpreter.hpp"

namespace fdh::py {

namespace {
thread_local PyObject* t_sink = nullptr;  // borrowed from the scope's owner

// True when the text went to the thread's sink.
bool to_sink(nb::handle text, bool to_stderr) {
    if (!t_sink) return false;
    nb::handle sink(t_sink);
    sink(text, nb::bool_(to_stderr));
    return true;
}
}  // namespace

LineSinkScope::LineSinkScope(nb::handle sink) noexcept : previous_(t_sink) {
    if (sink.is_valid() && !sink.is_none()) t_sink = sink.ptr();
}
LineSinkScope::~LineSinkScope() { t_sink = previous_; }

void print(nb::handle value) {
    if (!to_sink(nb::str(value), false)) global("print")(value);
}
void print(const std::string& text) { py::print(nb::handle(nb::str(text.data(), text.size()))); }
void print2(const std::string& first, nb::handle second) {
    nb::str head(first.data(), first.size());
    if (t_sink) {
        py::print(nb::handle(nb::str("{} {}").format(head, second)));
        return;
    }
    global("print")(head, second);
}
void print_error(const std::string& text) {
    nb::str line(text.data(), text.size());
    if (!to_sink(line, true)) global("print")(line, nb::arg("file") = global("sys").attr("stderr"));
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
