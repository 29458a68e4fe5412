#include "binding/log_bridge.hpp"

#include "core/log.hpp"

namespace fdh::binding {

namespace {
// Kept for good (the event thread may report while the interpreter shuts down); the handler is a
// reference the module holds for the rest of the process.
core::LogBuffer& buffer() {
    static auto* b = new core::LogBuffer;
    return *b;
}
PyObject* g_handler = nullptr;

int python_level(core::Level level) {
    switch (level) {
        case core::Level::Debug: return 10;
        case core::Level::Info: return 20;
        case core::Level::Warning: return 30;
        case core::Level::Error: return 40;
    }
    return 40;
}
}  // namespace

void set_log_handler(nb::handle handler) {
    static bool installed = [] {
        core::set_log_sink([](core::Level level, std::string_view text) { buffer().add(level, text); });
        return true;
    }();
    (void)installed;
    PyObject* next = handler.is_none() ? nullptr : handler.inc_ref().ptr();
    PyObject* before = g_handler;
    g_handler = next;
    if (before) nb::handle(before).dec_ref();
}

void deliver_logs() {
    if (!buffer().pending()) return;
    std::size_t dropped = 0;
    auto records = buffer().take(dropped);
    if (!g_handler) return;
    nb::handle handler(g_handler);
    try {
        if (dropped)
            handler(30, nb::str(("fdhost: " + std::to_string(dropped) + " reports were dropped unread").c_str()));
        for (const auto& r : records) handler(python_level(r.level), nb::str(r.text.data(), r.text.size()));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable(handler);  // a failing handler loses reports, not the call it rode on
    }
}

}  // namespace fdh::binding
