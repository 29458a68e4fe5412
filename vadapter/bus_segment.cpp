#include "bus_segment.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vad::segment {
namespace {

constexpr std::uint32_t MAGIC = 0x53554256;  // "VBUS"
constexpr std::uint32_t VERSION = 1;
constexpr const char* SHM_DIR = "/dev/shm";  // where shm_open keeps segments on Linux
// Byte 0 is held while a segment is being made; byte 1 + m by member m. Builds with other
// layouts keep to this, so a segment of any layout tells whether anybody still uses it.
constexpr off_t MAKING_BYTE = 0;
constexpr off_t MEMBER_BYTES = 4096;
constexpr int NOT_READY_TRIES = 50;  // ~50 ms for a maker that has not even taken byte 0

static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(std::atomic<std::uint32_t>) == 4,
              "futex words are plain 32-bit words");
static_assert(MAX_MEMBERS < MEMBER_BYTES);

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

off_t member_byte(int m) { return 1 + m; }

// An open-file-description lock on `len` bytes at `at`: held by the open file, so it goes away
// with the last descriptor of it, which is at the latest when its process ends.
bool lock_bytes(int fd, off_t at, off_t len, short type, bool wait) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = len;
    int r;
    do {
        r = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool locked_by_another(int fd, off_t at, off_t len) {
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = len;
    return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

// Names are kept as they are where shm names allow it; anything else becomes %XX, so '.'
// separates the parts of a segment name unambiguously.
bool plain(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
           c == ':' || c == '-';
}

std::string escape(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : s) {
        if (plain(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool unescape(std::string_view s, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            if (!plain(static_cast<unsigned char>(s[i]))) return false;
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
            return false;
        out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
        i += 2;
    }
    return true;
}

// "fdhost-vbus.<uid>." or "fdhost-vbus.<uid>.<namespace>.", without the leading '/'.
std::string user_prefix() {
    std::string p = "fdhost-vbus.";
    p += std::to_string(geteuid());
    p += '.';
    const char* ns = std::getenv("FDHOST_VADAPTER_NAMESPACE");
    if (ns && *ns) {
        p += escape(ns);
        p += '.';
    }
    return p;
}

// Removes the segment `name` if that name still stands for the file open on fd.
void unlink_if_same(const std::string& name, int fd) {
    struct stat a{}, b{};
    const int other = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (other < 0) return;
    const bool same = fstat(fd, &a) == 0 && fstat(other, &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
    close(other);
    if (same) shm_unlink(name.c_str());
}

// A mapping holds the open file, and with it the member lock: a forked child must not inherit it,
// or a member that died would live on in its children.
void keep_from_children(void* mapping) { madvise(mapping, sizeof(Layout), MADV_DONTFORK); }

void drop_member(Layout& s, std::size_t m) {
    for (std::size_t p = 0; p < port_limit(s); ++p)
        if (s.ports[p].owner == m + 1) free_port(s, p);
    s.members[m].pid = 0;
    s.members[m].sleeping = 0;
}

}  // namespace

std::string segment_name(std::string_view bus, std::string& error) {
    if (bus.empty()) {
        error = "a shared virtual CAN bus needs a name";
        return {};
    }
    std::string name = "/";  // built up piecewise: GCC 12 misreads `"/" + std::string` (-Wrestrict)
    name += user_prefix();
    name += escape(bus);
    if (name.size() - 1 > NAME_MAX) {
        error = "virtual CAN bus name too long to share: ";
        error.append(bus);
        return {};
    }
    return name;
}

// ---------------------------------------------------------------- opening and making

std::unique_ptr<Segment> Segment::open(std::string_view bus, bool create, std::string& error) {
    const std::string name = segment_name(bus, error);
    if (name.empty()) return nullptr;
    int not_ready = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = create ? shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
        const bool made = fd >= 0;
        if (made) fchmod(fd, 0600);  // whatever the umask left
        else if (!create || errno == EEXIST) fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            if (errno == ENOENT && create) continue;  // its last member removed it just now
            error = name + ": " + std::strerror(errno);
            return nullptr;
        }
        std::unique_ptr<Segment> seg(new Segment(name, fd));
        // A segment under this user's name that another user made (or opened to others) could
        // listen in or inject: it is not used.
        struct stat st{};
        if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077)) {
            error = name + " belongs to another user or is open to others; not used";
            return nullptr;
        }
        if (made) return seg->make(error) ? std::move(seg) : nullptr;
        switch (seg->use_existing(not_ready, error)) {
            case Opened::Ok: return seg;
            case Opened::Failed: return nullptr;
            case Opened::Retry: break;
        }
        usleep(1000);
    }
    error = name + ": could not be opened";
    return nullptr;
}

bool Segment::make(std::string& error) {
    // Openers wait on byte 0 until the segment is ready.
    lock_bytes(fd_, MAKING_BYTE, 1, F_WRLCK, true);
    void* p = MAP_FAILED;
    if (ftruncate(fd_, sizeof(Layout)) == 0)
        p = mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        error = name_ + ": " + std::strerror(errno);
        shm_unlink(name_.c_str());
        return false;
    }
    keep_from_children(p);
    s_ = static_cast<Layout*>(p);
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s_->mu, &a);
    pthread_mutexattr_destroy(&a);
    s_->magic = MAGIC;
    s_->version = VERSION;
    s_->bytes = sizeof(Layout);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    s_->epoch_ns = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
    s_->ready.store(1, std::memory_order_release);
    lock_bytes(fd_, MAKING_BYTE, 1, F_UNLCK, false);
    return true;
}

Segment::Opened Segment::use_existing(int& not_ready, std::string& error) {
    struct stat st{};
    if (fstat(fd_, &st) != 0) {
        error = name_ + ": " + std::strerror(errno);
        return Opened::Failed;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == sizeof(Layout)) {
        void* p = mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) {
            error = name_ + ": " + std::strerror(errno);
            return Opened::Failed;
        }
        keep_from_children(p);
        s_ = static_cast<Layout*>(p);
        if (s_->ready.load(std::memory_order_acquire)) {
            if (s_->magic == MAGIC && s_->version == VERSION && s_->bytes == sizeof(Layout)) return Opened::Ok;
        }
    }
    if (size == 0 || (s_ && !s_->ready.load(std::memory_order_acquire))) {
        // Being made: wait for its maker. A maker that died half-way leaves it unready for good.
        lock_bytes(fd_, MAKING_BYTE, 1, F_RDLCK, true);
        lock_bytes(fd_, MAKING_BYTE, 1, F_UNLCK, false);
        if (++not_ready > NOT_READY_TRIES) {
            not_ready = 0;
            unlink_if_same(name_, fd_);
        }
        return Opened::Retry;
    }
    // Another build's layout: replace it only when none of its members is left.
    if (locked_by_another(fd_, 1, MEMBER_BYTES)) {
        error = name_ + " is in use by a different build of the virtual adapter";
        return Opened::Failed;
    }
    unlink_if_same(name_, fd_);
    return Opened::Retry;
}

Segment::~Segment() {
    if (s_) munmap(s_, sizeof(Layout));
    if (fd_ >= 0) close(fd_);
}

void Segment::abandon() noexcept {
    // The mapping was not inherited (keep_from_children); the descriptor was.
    s_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

// ---------------------------------------------------------------- the lock

Locked::Locked(const Segment& seg, int me) : seg_(seg) {
    Layout& s = seg.state();
    int r = pthread_mutex_lock(&s.mu);
    if (r == EOWNERDEAD) {
        // Its holder died in the middle of something. What it left half done is at worst one
        // frame lost or repeated; the holder itself and every other member that is gone leave.
        const std::uint32_t holder = s.holder;
        if (holder > 0 && holder <= MAX_MEMBERS && static_cast<int>(holder) - 1 != me) drop_member(s, holder - 1);
        sweep(seg, me);
        wake_others(s, me);
        pthread_mutex_consistent(&s.mu);
        r = 0;
    }
    ok_ = r == 0;
    if (ok_) s.holder = static_cast<std::uint32_t>(me + 1);
}

Locked::~Locked() {
    if (!ok_) return;
    seg_.state().holder = 0;
    pthread_mutex_unlock(&seg_.state().mu);
}

// ---------------------------------------------------------------- members

int add_member(const Segment& seg) {
    Layout& s = seg.state();
    for (std::size_t m = 0; m < MAX_MEMBERS; ++m) {
        Member& e = s.members[m];
        // An entry still locked belongs to a process on its way out: leave it alone.
        if (e.pid != 0 || !lock_bytes(seg.fd(), member_byte(static_cast<int>(m)), 1, F_WRLCK, false)) continue;
        e.pid = static_cast<std::int32_t>(getpid());
        e.sleeping = 0;
        return static_cast<int>(m);
    }
    return -1;
}

void remove_member(const Segment& seg, int me) {
    Layout& s = seg.state();
    drop_member(s, static_cast<std::size_t>(me));
    lock_bytes(seg.fd(), member_byte(me), 1, F_UNLCK, false);
    sweep(seg, me);
    for (const Member& e : s.members)
        if (e.pid != 0) {
            wake_others(s, me);
            return;
        }
    // The last one out: nobody may join this segment any more; the next opener makes a new one.
    s.dead = 1;
    unlink_if_same(seg.name(), seg.fd());
}

bool member_alive(const Segment& seg, int m) {
    return seg.state().members[m].pid != 0 && locked_by_another(seg.fd(), member_byte(m), 1);
}

void sweep(const Segment& seg, int me) {
    Layout& s = seg.state();
    bool dropped = false;
    for (std::size_t m = 0; m < MAX_MEMBERS; ++m) {
        if (static_cast<int>(m) == me || s.members[m].pid == 0 || member_alive(seg, static_cast<int>(m))) continue;
        drop_member(s, m);
        dropped = true;
    }
    if (dropped) wake_others(s, me);
}

void free_port(Layout& s, std::size_t port) {
    Port& p = s.ports[port];
    p.owner = 0;
    p.head = p.tail = 0;
    p.gen = Generator{};
    s.port_limit = static_cast<std::uint32_t>(port_limit(s));
    while (s.port_limit > 0 && s.ports[s.port_limit - 1].owner == 0) --s.port_limit;
}

std::size_t port_count(const Layout& s) {
    std::size_t n = 0;
    for (std::size_t p = 0; p < port_limit(s); ++p) n += s.ports[p].owner != 0;
    return n;
}

void wake_others(Layout& s, int me) {
    for (std::size_t m = 0; m < MAX_MEMBERS; ++m) {
        Member& e = s.members[m];
        if (static_cast<int>(m) == me || e.pid == 0) continue;
        e.wake.fetch_add(1);
        if (e.sleeping.load()) futex(&e.wake, FUTEX_WAKE, INT_MAX);
    }
}

void wait_for_change(Member& m, std::uint32_t seen, const std::atomic<bool>& stop) {
    // Announce the sleep before the last look, so a change made meanwhile is either seen here
    // or followed by a wake-up (both sides use sequentially consistent operations).
    m.sleeping.store(1);
    if (m.wake.load() == seen && !stop.load()) futex(&m.wake, FUTEX_WAIT, seen);
    m.sleeping.store(0);
}

void wake(Member& m) {
    m.wake.fetch_add(1);
    futex(&m.wake, FUTEX_WAKE, INT_MAX);
}

// ---------------------------------------------------------------- listing

std::vector<std::pair<std::string, std::size_t>> list_buses() {
    std::vector<std::pair<std::string, std::size_t>> out;
    const std::string prefix = user_prefix();
    DIR* dir = opendir(SHM_DIR);
    if (!dir) return out;
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir)) {
        const std::string_view n(e->d_name);
        std::string bus;
        if (n.size() > prefix.size() && n.substr(0, prefix.size()) == prefix &&
            n.find('.', prefix.size()) == std::string_view::npos && unescape(n.substr(prefix.size()), bus))
            names.push_back(std::move(bus));
    }
    closedir(dir);
    for (const std::string& bus : names) {
        std::string error;
        const auto seg = Segment::open(bus, false, error);
        if (!seg) continue;
        const Locked lk(*seg, -1);
        if (!lk || seg->state().dead) continue;
        sweep(*seg, -1);
        Layout& s = seg->state();
        bool anyone = false;
        for (const Member& m : s.members) anyone = anyone || m.pid != 0;
        if (!anyone) {  // every member died without leaving: nobody can use it any more
            s.dead = 1;
            unlink_if_same(seg->name(), seg->fd());
        } else if (const std::size_t n = port_count(s)) {
            out.emplace_back(bus, n);
        }
    }
    return out;
}

}  // namespace vad::segment
