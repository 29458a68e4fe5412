// The interpreter-side environment the device code works in: the module namespace, printing,
// USB error classification and the formatting of the system's messages.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace fdh::py {

// The module object once its body has started; names are looked up in its namespace at the
// moment of use, so a program can rebind them (slot lists, tables, the imported `usb`, `time` ...).
void set_module(nb::handle m);
nb::handle module();
nb::object global(const char* name);      // NameError when missing, as a Python global would

// The interned str of `name`, made once per text and kept for the life of the process: attribute
// and namespace lookups with it skip building a new string each time. Needs the interpreter lock.
nb::object interned(const char* name);
// getattr(o, name) and o.name() with an interned name.
nb::object attr(nb::handle o, const char* name);
nb::object call_method(nb::handle o, const char* name);
void set_global(const char* name, nb::handle value);

// print(...) through the interpreter's builtins, so redirection and capture work.
void print(nb::handle value);
void print(const std::string& text);
void print2(const std::string& first, nb::handle second);  // print(first, second)
// sys.stderr.write(text) looked up through the module's `sys`.
void write_stderr(const std::string& text);
void flush_stderr();

// usb.core / usb.util through the module's `usb`, looked up afresh on every call.
nb::object usb_core();
nb::object usb_util();

// An exception caught from a call into Python.
bool is_usb_error(const nb::python_error& e);        // isinstance(e, usb.core.USBError)
nb::object error_errno(const nb::python_error& e);   // e.errno (None when absent)
bool is_timeout_error(const nb::python_error& e);    // errno 110, the platform's ETIMEDOUT, or the time-out class
std::string error_text(const nb::python_error& e);   // str(e)
std::string str(nb::handle o);                       // str(o)

// time.sleep(seconds) through the module's `time` (releases the interpreter lock while waiting).
void sleep(double seconds);

// bool(o) and rich comparison, with the interpreter's semantics.
bool truthy(nb::handle o);
bool compare(nb::handle a, nb::handle b, int op);
inline bool compare(nb::handle a, long b, int op) { return compare(a, nb::int_(b), op); }

std::string hex_upper(unsigned long long v, int width);  // format(v, "0{width}X")

// Bytes of a bytes-like object (itemsize 1) or, failing that, of any sequence of integers 0..255,
// in the interpreter's usual way (TypeError / ValueError otherwise).
struct ByteView {
    explicit ByteView(nb::handle obj);
    ~ByteView();
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    std::span<const std::uint8_t> bytes() const { return span_; }

private:
    Py_buffer view_{};
    bool has_view_ = false;
    std::vector<std::uint8_t> copy_;
    std::span<const std::uint8_t> span_;
};

// Appends each item of `seq` (at most `limit` of them) as a byte, as bytearray.extend does.
void append_byte_items(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t limit = SIZE_MAX);

// The int object for 0..255: the interpreter keeps one of each, and this hands it out from a
// table filled by set_module instead of asking for it anew (a borrowed reference, valid for the
// life of the process).
extern PyObject* g_byte_ints[256];
inline PyObject* byte_int(std::uint8_t v) { return g_byte_ints[v]; }
nb::object new_byte_list(std::span<const std::uint8_t> bytes);  // list of ints
nb::bytes to_pybytes(std::span<const std::uint8_t> bytes);
nb::object to_pybytearray(std::span<const std::uint8_t> bytes);

}  // namespace fdh::py
