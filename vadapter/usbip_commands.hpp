// The server's control commands, one per line (stdin), each answered by one line on stdout:
// "ok ..." or "error ...". See --help for the list.
#pragma once
#include <string_view>

namespace vad::usbip {

class Server;

inline constexpr std::string_view COMMAND_HELP =
    "  list                     every device: BUSID LABEL available|imported\n"
    "  drop BUSID               close the device's connection now (the device-side disconnect)\n"
    "  unplug BUSID             the model's own unplug: transfers fail with no-device, then the\n"
    "                           connection closes\n"
    "  gen BUSID SETTINGS       the adapter's traffic generator (gen=SETTINGS)\n"
    "  fault BUSID FAULT        arm a fault (fault=FAULT)\n"
    "  clear BUSID              clear the adapter's faults\n"
    "  set BUSID ITEM           any per-adapter item (loopback=1, capture=1, ...)\n"
    "  counters BUSID           the adapter's counters as NAME=VALUE pairs\n"
    "  help                     this list\n";

// Runs one command line; its answer reaches stdout through the server (drop and unplug answer
// once the device is free for an import again). Empty lines are no commands and get no answer.
void run_command(std::string_view line, Server& server);

}  // namespace vad::usbip
