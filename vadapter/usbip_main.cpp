// fdhost-usbip: the virtual adapter's devices exported over USB/IP on 127.0.0.1, so that the
// kernel's vhci-hcd attaches them and the real USB stack (usbfs, udev, libusb, pyusb) drives them.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "config.hpp"
#include "parse_util.hpp"
#include "registry.hpp"
#include "usbip_commands.hpp"
#include "usbip_server.hpp"

namespace {

using namespace vad;

// The other devices default to a vendor-specific test device: a hub (the stand-in's default) would
// have the importing kernel's hub driver take it over.
constexpr const char* kOtherId = "1209:0001";

constexpr const char* kUsage =
    "usage: fdhost-usbip [--adapters N] [--bus NAME] [--other N] [--config ITEMS] [--port PORT]\n"
    "\n"
    "Exports the virtual adapter's devices as USB/IP devices on 127.0.0.1, for the kernel's vhci-hcd\n"
    "(usbip attach -r 127.0.0.1 -b 1-1). Adapter k is bus id 1-<k+1>, other device j is 2-<j+1>.\n"
    "\n"
    "  --adapters N     adapters to export (default 1)\n"
    "  --bus NAME       the adapters are on the virtual CAN bus NAME, shared with virtual:NAME\n"
    "                   channels of this user ($FDHOST_VADAPTER_NAMESPACE applies)\n"
    "  --other N        other-vendor devices to export as well (default 0; 1209:0001 unless\n"
    "                   other_ids= says otherwise)\n"
    "  --config ITEMS   more items of the virtual adapter's configuration (faults, generators,\n"
    "                   aN. items), after $FDHOST_VADAPTER and the options above\n"
    "  --port PORT      TCP port (default 3240; 0: a free one)\n"
    "  --help           this text\n"
    "\n"
    "Runs until SIGTERM or SIGINT; SIGUSR1 drops every imported device. A device whose connection\n"
    "ends is plugged in afresh and can be imported again. Commands on stdin, one per line, each\n"
    "answered by one line on stdout (ok ... / error ...):\n";

struct Options {
    std::string items;  // from the options, in the configuration grammar
    std::string config;
    long port = 3240;
};

[[noreturn]] void usage_error(const std::string& what) {
    std::fprintf(stderr, "fdhost-usbip: %s\n%s", what.c_str(), kUsage);
    std::exit(2);
}

bool plain_value(const char* s) { return !std::strpbrk(s, ";\n"); }

Options parse_options(int argc, char** argv) {
    static const option longopts[] = {
        {"adapters", required_argument, nullptr, 'a'}, {"bus", required_argument, nullptr, 'b'},
        {"other", required_argument, nullptr, 'o'},    {"config", required_argument, nullptr, 'c'},
        {"port", required_argument, nullptr, 'p'},     {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    Options o;
    for (int c; (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1;) {
        switch (c) {
            case 'a':
            case 'o':
            case 'b':
                if (!plain_value(optarg)) usage_error("no ';' or newline in an option's value");
                o.items += std::string(c == 'a' ? "adapters=" : c == 'o' ? "other=" : "canbus=") + optarg + ";";
                break;
            case 'c': o.config = optarg; break;
            case 'p': {
                long long port = -1;
                if (!parse_int(optarg, port) || port < 0 || port > 65535) usage_error(std::string("bad port: ") + optarg);
                o.port = static_cast<long>(port);
                break;
            }
            case 'h':
                std::fputs(kUsage, stdout);
                std::fputs(std::string(usbip::COMMAND_HELP).c_str(), stdout);
                std::exit(0);
            default: usage_error("unknown option");
        }
    }
    if (optind < argc) usage_error(std::string("unexpected argument: ") + argv[optind]);
    return o;
}

// "2 adapters (1-1 SERIAL, 1-2 SERIAL)": the devices of one kind.
std::string summary(const usbip::Server& s, bool adapters) {
    std::string list;
    std::size_t n = 0;
    for (const auto& d : s.devices()) {
        if (d->is_adapter() != adapters) continue;
        list += (n++ ? ", " : "") + d->busid() + " " + d->label();
    }
    const char* word = adapters ? " adapter" : " other device";
    return std::to_string(n) + word + (n == 1 ? "" : "s") + (n ? " (" + list + ")" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);

    // The environment's configuration first, as the stand-in library reads it; then the options.
    const char* env = std::getenv("FDHOST_VADAPTER");
    std::string text = std::string(env ? env : "") + ";" + o.items + o.config;
    WorldConfig world;
    std::string error;
    if (!parse_config(text, world, error)) {
        std::fprintf(stderr, "fdhost-usbip: bad configuration: %s\n", error.c_str());
        return 2;
    }
    if (!world.others.empty()) {
        std::string ids = "other_ids=";
        for (std::size_t i = 0; i < world.others.size(); ++i) ids += std::string(i ? "," : "") + kOtherId;
        text = ids + ";" + text;  // anything configured says otherwise
    }

    // Signals are taken by the server's loop (signalfd): blocked before the model starts threads.
    sigset_t mask;
    sigemptyset(&mask);
    for (const int s : {SIGTERM, SIGINT, SIGUSR1}) sigaddset(&mask, s);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The model reads FDHOST_VADAPTER itself when first used; here it is part of `text` already.
    unsetenv("FDHOST_VADAPTER");
    Registry& reg = Registry::get();
    if (reg.configure(text) != 0) {
        std::fprintf(stderr, "fdhost-usbip: bad configuration: %s\n", reg.last_error().c_str());
        return 2;
    }

    std::vector<std::unique_ptr<usbip::ExportedDevice>> devices;
    for (int i = 0; i < reg.adapter_count(); ++i)
        devices.push_back(std::make_unique<usbip::ExportedDevice>(DeviceRef{true, i}));
    for (std::size_t j = 0; j < world.others.size(); ++j)
        devices.push_back(std::make_unique<usbip::ExportedDevice>(DeviceRef{false, static_cast<int>(j)}));

    // Never destroyed: the model's threads may still complete transfers while the process exits.
    auto* server = new usbip::Server(std::move(devices));
    if (!server->listen(static_cast<std::uint16_t>(o.port), error)) {
        std::fprintf(stderr, "fdhost-usbip: cannot listen on %s\n", error.c_str());
        return 1;
    }
    std::string line =
        "fdhost-usbip: listening on 127.0.0.1:" + std::to_string(server->port()) + ", " + summary(*server, true);
    if (!world.others.empty()) line += ", " + summary(*server, false);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return server->run(STDIN_FILENO);
}
