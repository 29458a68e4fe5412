// The USB/IP server: one loop thread owns the listening socket, every connection, the signals and
// the control commands (stdin); a second thread handles the model's transfer events and hands
// finished URBs to the loop. The model's own threads (the transfer engine, the shared-bus
// listener) run as behind the stand-in library.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "usbip_connection.hpp"
#include "usbip_export.hpp"

namespace vad::usbip {

class Server final : public Exports {
public:
    static constexpr std::size_t MAX_CONNECTIONS = 256;

    explicit Server(std::vector<std::unique_ptr<ExportedDevice>> devices);

    // Binds 127.0.0.1:port (0: a free port of the system's choice); false with `error` set.
    bool listen(std::uint16_t port, std::string& error);
    std::uint16_t port() const noexcept { return port_; }
    // Serves until SIGTERM or SIGINT, which the caller blocked before any thread started, as it
    // did SIGUSR1 (every imported device is dropped). Commands come from `control_fd` (stdin)
    // one per line, and each gets one answer line on stdout. Returns the exit status.
    int run(int control_fd);

    std::vector<Device> device_list() override;
    ExportedDevice* find(const std::string& busid) override;

    // For the control commands.
    const std::vector<std::unique_ptr<ExportedDevice>>& devices() const noexcept { return devices_; }
    // The connection that has imported the device, if any.
    Connection* connection_of(const ExportedDevice& d);
    // The answer goes out once the device is free for an import again (at once if it is).
    void answer_when_free(const ExportedDevice* d, std::string answer);

private:
    struct Entry {
        std::unique_ptr<Connection> conn;
        int fd;
        std::uint32_t events;  // registered with epoll
    };

    void accept_all();
    void on_signal();
    void on_control();
    void on_completions();
    void watch(Entry& e);
    void after_events();
    int timeout_ms() const;
    void print_answers();

    std::vector<std::unique_ptr<ExportedDevice>> devices_;
    CompletionQueue completions_;
    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    int epoll_fd_ = -1;
    int signal_fd_ = -1;
    int control_fd_ = -1;
    bool stopping_ = false;
    std::uint64_t next_id_ = 16;  // smaller ids tag the loop's own sources
    std::map<std::uint64_t, Entry> connections_;
    std::string control_line_;
    struct Answer {
        const ExportedDevice* wait_for;
        std::string text;
    };
    std::deque<Answer> answers_;
};

}  // namespace vad::usbip
