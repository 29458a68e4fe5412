#include "usbip_commands.hpp"

#include <string>

#include "parse_util.hpp"
#include "registry.hpp"
#include "usbip_server.hpp"
#include "vadapter.h"

namespace vad::usbip {
namespace {

std::string error_text() { return std::string("error ") + vad_last_error(); }

std::string result(int rc) { return rc == 0 ? "ok" : error_text(); }

std::string list(Server& server) {
    std::string out = "ok";
    const char* sep = " ";
    for (const auto& d : server.devices()) {
        out += sep + d->busid() + " " + d->label() + (d->imported() ? " imported" : " available");
        sep = ", ";
    }
    return out;
}

std::string counters(int adapter) {
    struct vad_counters c{};
    if (vad_counters(adapter, &c) != 0) return error_text();
    std::string out = "ok";
    for (int i = 0; const char* name = vad_counter_name(i); ++i)
        out += std::string(" ") + name + "=" + std::to_string(vad_counter(adapter, name));
    return out;
}

// The model's own unplug. A device no connection has comes back fresh at once; an imported one
// once its connection has closed.
void unplug(Server& server, ExportedDevice& d) {
    vad_unplug(d.index(), -1, -1);
    if (Connection* c = server.connection_of(d)) c->unplugged();
    else Registry::get().replug(d.index());
    server.answer_when_free(&d, "ok");
}

}  // namespace

void run_command(std::string_view line, Server& server) {
    line = trim(line);
    if (line.empty()) return;
    const std::size_t space = line.find(' ');
    const std::string_view name = line.substr(0, space);
    std::string_view rest = space == std::string_view::npos ? std::string_view() : trim(line.substr(space));
    const std::size_t space2 = rest.find(' ');
    const std::string busid(rest.substr(0, space2));
    const std::string arg(space2 == std::string_view::npos ? std::string_view() : trim(rest.substr(space2)));
    auto answer = [&](std::string text) { server.answer_when_free(nullptr, std::move(text)); };

    if (name == "help") return answer("ok commands: list, drop, unplug, gen, fault, clear, set, counters, help");
    if (name == "list") return answer(list(server));
    const bool known = name == "drop" || name == "unplug" || name == "gen" || name == "fault" || name == "clear" ||
                       name == "set" || name == "counters";
    if (!known) return answer("error unknown command: " + std::string(name) + " (try help)");
    ExportedDevice* d = server.find(busid);
    if (!d) return answer("error no device " + (busid.empty() ? std::string("named") : busid));
    if (name == "drop") {
        Connection* c = server.connection_of(*d);
        if (!c) return answer("error " + busid + " is not imported");
        c->drop("dropped by request");
        return server.answer_when_free(d, "ok");
    }
    if (!d->is_adapter()) return answer("error " + busid + " is no adapter");
    const int a = d->index();
    if (name == "unplug") return unplug(server, *d);
    if (name == "counters") return answer(counters(a));
    if (name == "clear") return answer(result(vad_clear_faults(a)));
    if (arg.empty()) return answer("error " + std::string(name) + " needs " + busid + " and a value");
    if (name == "gen") return answer(result(vad_generator(a, arg.c_str())));
    if (name == "fault") return answer(result(vad_fault(a, arg.c_str())));
    answer(result(vad_set(a, arg.c_str())));
}

}  // namespace vad::usbip
