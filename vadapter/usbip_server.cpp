#include "usbip_server.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "event_handling.hpp"
#include "usbip_commands.hpp"

namespace vad::usbip {
namespace {

// epoll tags of the loop's own sources; connections have ids from 16 up.
enum : std::uint64_t { kListen = 1, kSignal = 2, kCompletions = 3, kControl = 4 };
constexpr std::size_t kMaxCommandLine = 4096;

void add(int epfd, int fd, std::uint64_t tag, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
}

// Completions of the model's transfers run their callbacks here, as libusb event handling does.
void handle_events_forever() {
    pthread_setname_np(pthread_self(), "usbip-events");
    for (;;) {
        timeval tv{60, 0};
        events::handle(&tv, nullptr);
    }
}

void print_line(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

Server::Server(std::vector<std::unique_ptr<ExportedDevice>> devices) : devices_(std::move(devices)) {}

bool Server::listen(std::uint16_t port, std::string& error) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // this machine only, never another address
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    port_ = ntohs(addr.sin_port);
    return true;
}

std::vector<Device> Server::device_list() {
    std::vector<Device> out;
    for (const auto& d : devices_) out.push_back(d->describe());
    return out;
}

ExportedDevice* Server::find(const std::string& busid) {
    for (const auto& d : devices_)
        if (d->busid() == busid) return d.get();
    return nullptr;
}

Connection* Server::connection_of(const ExportedDevice& d) {
    for (auto& [id, e] : connections_)
        if (e.conn->device() == &d && !e.conn->finished()) return e.conn.get();
    return nullptr;
}

void Server::answer_when_free(const ExportedDevice* d, std::string answer) {
    answers_.push_back(Answer{d, std::move(answer)});
}

// Answers go out in the order of their commands, each once its device is free again.
void Server::print_answers() {
    while (!answers_.empty() && !(answers_.front().wait_for && answers_.front().wait_for->imported())) {
        print_line(answers_.front().text);
        answers_.pop_front();
    }
}

int Server::run(int control_fd) {
    sigset_t mask;
    sigemptyset(&mask);
    for (const int s : {SIGTERM, SIGINT, SIGUSR1}) sigaddset(&mask, s);
    signal_fd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (signal_fd_ < 0 || epoll_fd_ < 0) {
        std::fprintf(stderr, "fdhost-usbip: %s\n", std::strerror(errno));
        return 1;
    }
    add(epoll_fd_, listen_fd_, kListen, EPOLLIN);
    add(epoll_fd_, signal_fd_, kSignal, EPOLLIN);
    add(epoll_fd_, completions_.fd(), kCompletions, EPOLLIN);
    std::thread(handle_events_forever).detach();

    // Commands from a pipe or terminal as they come; from a file (or /dev/null), which epoll
    // cannot watch, all at once now. End of input leaves the server running.
    control_fd_ = control_fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kControl;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, control_fd_, &ev) != 0) {
        while (control_fd_ >= 0) on_control();
        print_answers();
    }

    while (!stopping_) {
        epoll_event events[64];
        const int n = epoll_wait(epoll_fd_, events, 64, timeout_ms());
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "fdhost-usbip: epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            const std::uint32_t what = events[i].events;
            if (tag == kListen) accept_all();
            else if (tag == kSignal) on_signal();
            else if (tag == kCompletions) on_completions();
            else if (tag == kControl) on_control();
            else if (const auto it = connections_.find(tag); it != connections_.end()) {
                Connection& c = *it->second.conn;
                if (what & (EPOLLERR | EPOLLHUP)) c.drop("connection lost");
                // A peer that closes while its requests are held back is gone all the same.
                if ((what & EPOLLRDHUP) && !c.wants_read()) c.drop("detached by the host");
                if (what & (EPOLLIN | EPOLLRDHUP)) c.readable();
                if (what & EPOLLOUT) c.writable();
            }
        }
        after_events();
    }
    // Every connection ends with the process; the kernel on the other side detaches its devices.
    for (auto& [id, e] : connections_) e.conn->drop("the server stops");
    print_answers();
    return 0;
}

void Server::accept_all() {
    for (;;) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN: all taken (other errors: the peer gave up meanwhile)
        if (connections_.size() >= MAX_CONNECTIONS) {
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // replies are small and wanted now
        const std::uint64_t id = next_id_++;
        auto& e = connections_[id];
        e.conn = std::make_unique<Connection>(fd, id, *this, completions_);
        e.fd = fd;
        e.events = EPOLLIN | EPOLLRDHUP;
        add(epoll_fd_, fd, id, e.events);
    }
}

void Server::on_signal() {
    signalfd_siginfo si;
    while (read(signal_fd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1) {
            for (auto& [id, e] : connections_)
                if (e.conn->device()) e.conn->drop("dropped (SIGUSR1)");
        } else {
            stopping_ = true;
        }
    }
}

void Server::on_control() {
    char buf[4096];
    const ssize_t n = read(control_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, control_fd_, nullptr);
        control_fd_ = -1;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
            if (control_line_.size() <= kMaxCommandLine) control_line_ += buf[i];
            continue;
        }
        if (control_line_.size() > kMaxCommandLine) answer_when_free(nullptr, "error command line too long");
        else run_command(control_line_, *this);
        control_line_.clear();
    }
}

void Server::on_completions() {
    for (Urb* u : completions_.take()) u->owner->completed(u);
}

void Server::watch(Entry& e) {
    const int fd = e.conn->fd();
    if (fd < 0) {
        e.fd = -1;  // closing the socket took it out of epoll
        return;
    }
    const std::uint32_t want = (e.conn->wants_read() ? EPOLLIN : 0u) | (e.conn->wants_write() ? EPOLLOUT : 0u) |
                               (e.conn->watches_hangup() ? EPOLLRDHUP : 0u);
    if (want == e.events) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = e.conn->id();
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
    e.events = want;
}

void Server::after_events() {
    const auto now = Clock::now();
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = *it->second.conn;
        c.tick(now);
        c.flush();
        if (c.finished()) {
            it = connections_.erase(it);
            continue;
        }
        watch(it->second);
        ++it;
    }
    print_answers();
}

int Server::timeout_ms() const {
    auto next = Clock::time_point::max();
    for (const auto& [id, e] : connections_) next = std::min(next, e.conn->next_deadline());
    if (next == Clock::time_point::max()) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
}

}  // namespace vad::usbip
