#include "binding/log_bridge.hpp"

#include "binding/shared_ref.hpp"
#include "core/log.hpp"

namespace fdh::binding {

namespace {
// Kept for good (the event thread may report while the interpreter shuts down); the handler is a
// reference the module holds for the rest of the process.
core::LogBuffer& buffer() {
    static auto* b = new core::LogBuffer;
    return *b;
}
SharedRef g_handler;

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
    g_handler.set(handler);
}

void deliver_logs() {
    if (!buffer().pending()) return;
    std::size_t dropped = 0;
    auto records = buffer().take(dropped);
    nb::object handler = g_handler.get();
    if (!handler.is_valid()) return;
    try {
        if (dropped)
            handler(30, nb::str(("fdhost: " + std::to_string(dropped) + " reports were dropped unread").c_str()));
        for (const auto& r : records) handler(python_level(r.level), nb::str(r.text.data(), r.text.size()));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable(handler);  // a failing handler loses reports, not the call it rode on
    }
}

}  // namespace fdh::binding
