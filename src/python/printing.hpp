// Output through the interpreter, so a program's redirection and capture of sys.stdout and
// sys.stderr see every line the module writes; or, for an object given a line sink, through that.
#pragma once
#include <nanobind/nanobind.h>

#include <string>

namespace nb = nanobind;

namespace fdh::py {

// print(...) through the builtins as the module's namespace sees them.
void print(nb::handle value);
void print(const std::string& text);
void print2(const std::string& first, nb::handle second);  // print(first, second)
// print(text, file=sys.stderr): the lines that end a failed construction.
void print_error(const std::string& text);
// sys.stderr.write(text) and sys.stderr.flush() through the module's `sys`.
void write_stderr(const std::string& text);
void flush_stderr();

// While one of these lives on a thread, the print functions above hand their text to `sink`
// instead: sink(text, to_stderr) with the text print would have written, without its newline. The
// sink belongs to one object (its constructor's `line_sink`); its methods and workers open a scope
// while they run, so every line they make reaches it, whichever thread they run on. An invalid or
// None sink leaves printing as it is. The scopes nest; the caller keeps `sink` alive.
class LineSinkScope {
public:
    explicit LineSinkScope(nb::handle sink) noexcept;
    ~LineSinkScope();
    LineSinkScope(const LineSinkScope&) = delete;
    LineSinkScope& operator=(const LineSinkScope&) = delete;

private:
    PyObject* previous_;
};

std::string hex_upper(unsigned long long v, int width);  // format(v, "0{width}X")

}  // namespace fdh::py
