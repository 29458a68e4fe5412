#include "bus_segment.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
constexpr std::uint32_t VERSION = 3;
constexpr const char* SHM_DIR = "/dev/shm";  // where shm_open keeps segments on Linux
// Byte 0 is held while a segment is being made; byte 1 + m by member m. Builds with other
// layouts keep to this, so a segment of any layout tells whether anybody still uses it.
constexpr off_t MAKING_BYTE = 0;
constexpr off_t MEMBER_BYTES = 4096;
// Read-locked (shared, so that joiners never wait for each other) by a process from before it is
// counted in until it holds its member byte: with the member bytes it tells a leaving member
// whether anybody else is, or is becoming, a member, whatever the count says.
constexpr off_t JOINING_BYTE = 1 + MEMBER_BYTES;
// A segment still being made after this long is given up for one made anew: its maker is stopped
// or stuck, and nobody waits for it longer.
constexpr std::int64_t MAKING_PATIENCE_NS = 500'000'000;
constexpr std::int64_t OPEN_PATIENCE_NS = 3'000'000'000;  // then opening fails instead of retrying

static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "futex words are plain 32-bit words");
static_assert(MAX_MEMBERS < MEMBER_BYTES && MAX_MEMBERS < 255 && LOG_ENTRIES < (1u << 20));

std::int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

off_t member_byte(int m) { return 1 + m; }

// An open-file-description lock on `len` bytes at `at`, never waited for: held by the open file,
// so it goes away with the last descriptor of it, which is at the latest when its process ends.
bool lock_bytes(int fd, off_t at, off_t len, short type) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = len;
    int r;
    do {
        r = fcntl(fd, F_OFD_SETLK, &fl);
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

const char* namespace_env() {
    const char* ns = std::getenv("FDHOST_VADAPTER_NAMESPACE");
    return ns && *ns ? ns : nullptr;
}

// "fdhost-vbus.<uid>." or "fdhost-vbus.<uid>.<namespace>.", without the leading '/'.
std::string user_prefix() {
    std::string p = "fdhost-vbus.";
    p += std::to_string(geteuid());
    p += '.';
    if (const char* ns = namespace_env()) {
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

std::string mib(std::size_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

}  // namespace

std::string segment_name(std::string_view bus, std::string& error) {
    if (bus.empty()) {
        error = "a shared virtual CAN bus needs a name";
        return {};
    }
    const std::string prefix = user_prefix();
    if (prefix.size() + 1 > NAME_MAX) {  // at least one character of the bus name must fit
        error = "FDHOST_VADAPTER_NAMESPACE is too long: with its escapes it takes " + std::to_string(prefix.size()) +
                " of the " + std::to_string(NAME_MAX) + " characters a shared-memory name may have";
        return {};
    }
    std::string name = "/";  // built up piecewise: GCC 12 misreads `"/" + std::string` (-Wrestrict)
    name += prefix;
    name += escape(bus);
    if (name.size() - 1 > NAME_MAX) {
        error = "virtual CAN bus name too long to share: ";
        error.append(bus);
        error += " (" + std::to_string(NAME_MAX - prefix.size()) + " characters fit after the prefix " + prefix + ")";
        return {};
    }
    return name;
}

// ---------------------------------------------------------------- opening and making

std::unique_ptr<Segment> Segment::open(std::string_view bus, bool create, std::string& error) {
    const std::string name = segment_name(bus, error);
    if (name.empty()) return nullptr;
    const std::int64_t give_up = monotonic_ns() + OPEN_PATIENCE_NS;
    std::int64_t making_since = 0;
    while (monotonic_ns() < give_up) {
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
        switch (seg->use_existing(making_since, error)) {
            case Opened::Ok: return seg;
            case Opened::Failed: return nullptr;
            case Opened::Retry: break;
        }
        usleep(1000);
    }
    error = name + ": could not be opened (it kept changing)";
    return nullptr;
}

bool Segment::make(std::string& error) {
    // Openers leave it alone while byte 0 is held and it is not ready.
    lock_bytes(fd_, MAKING_BYTE, 1, F_WRLCK);
    // Every page is reserved now: a full /dev/shm is an error here, never a SIGBUS later.
    int e = ftruncate(fd_, sizeof(Layout)) == 0 ? posix_fallocate(fd_, 0, sizeof(Layout)) : errno;
    void* p = MAP_FAILED;
    if (e == 0) {
        p = mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) e = errno;
    }
    if (e != 0) {
        error = name_ + ": cannot reserve " + mib(sizeof(Layout)) + " of shared memory for the bus: " + std::strerror(e);
        if (e == ENOSPC) error += std::string(" (") + SHM_DIR + " is full)";
        shm_unlink(name_.c_str());
        return false;
    }
    keep_from_children(p);
    s_ = static_cast<Layout*>(p);
    s_->magic = MAGIC;
    s_->version = VERSION;
    s_->bytes = sizeof(Layout);
    s_->epoch_ns = monotonic_ns();
    s_->life.store(LIFE_READY, std::memory_order_release);
    lock_bytes(fd_, MAKING_BYTE, 1, F_UNLCK);
    return true;
}

Segment::Opened Segment::use_existing(std::int64_t& making_since, std::string& error) {
    struct stat st{};
    if (fstat(fd_, &st) != 0) {
        error = name_ + ": " + std::strerror(errno);
        return Opened::Failed;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    std::uint64_t state = LIFE_MAKING;
    if (size == sizeof(Layout)) {
        void* p = mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) {
            error = name_ + ": " + std::strerror(errno);
            return Opened::Failed;
        }
        keep_from_children(p);
        s_ = static_cast<Layout*>(p);
        state = life_state(s_->life.load(std::memory_order_acquire));
        if (state == LIFE_READY && s_->magic == MAGIC && s_->version == VERSION && s_->bytes == sizeof(Layout))
            return Opened::Ok;
        if (state == LIFE_DEAD) {  // its last member left (or died leaving): the name is free again
            unlink_if_same(name_, fd_);
            return Opened::Retry;
        }
    }
    if (size == 0 || state == LIFE_MAKING) {
        // Being made. A maker that died half-way no longer holds byte 0; one that holds it for too
        // long is stopped or stuck: either way the segment is made anew rather than waited for.
        const std::int64_t now = monotonic_ns();
        if (making_since == 0) making_since = now;
        if (!locked_by_another(fd_, MAKING_BYTE, 1) || now - making_since > MAKING_PATIENCE_NS) {
            making_since = 0;
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

// ---------------------------------------------------------------- members

Owner Segment::owner(int m) const noexcept {
    return owner_tag(m, s_->members[m].incarnation.load(std::memory_order_acquire));
}

int Segment::join(std::string& error) {
    Layout& s = *s_;
    if (!lock_bytes(fd_, JOINING_BYTE, 1, F_RDLCK)) {
        error = name_ + ": " + std::strerror(errno);
        return -1;
    }
    struct Joined {
        int fd;
        ~Joined() { lock_bytes(fd, JOINING_BYTE, 1, F_UNLCK); }
    } joined{fd_};
    // Counted in first: a segment with a member counted never dies under it.
    for (std::uint64_t life = s.life.load();;) {
        if (life_state(life) != LIFE_READY) {
            unlink_if_same(name_, fd_);
            return -2;
        }
        if (s.life.compare_exchange_weak(life, life + LIFE_STATES)) break;
    }
    for (std::size_t i = 0; i < MAX_MEMBERS; ++i) {
        const int m = static_cast<int>(i);
        Member& e = s.members[i];
        // The byte lock decides who has the entry: it is free only when no process holds it.
        if (!lock_bytes(fd_, member_byte(m), 1, F_WRLCK)) continue;
        e.incarnation.fetch_add(1);
        e.sleeping = 0;
        for (std::int32_t old = e.pid.load();;) {
            if (e.pid.compare_exchange_weak(old, static_cast<std::int32_t>(getpid()))) {
                if (old != 0) lost_member();  // the entry of a process that died unnoticed: it leaves now
                break;
            }
        }
        sweep(m);  // ports and chunks of the dead, this entry's predecessor among them, come free
        return m;
    }
    lost_member();
    error = name_ + ": " + std::to_string(MAX_MEMBERS) + " processes use it already";
    return -1;
}

void Segment::leave(int me) {
    Layout& s = *s_;
    sweep(me);  // the dead are counted out first, so that the last one out knows it is
    const Owner mine = owner(me);
    for (std::size_t p = 0; p < port_limit(s); ++p) free_port(s, p, mine);
    for (Chunk& c : s.chunks) {
        Owner o = mine;
        c.owner.compare_exchange_strong(o, 0);
    }
    s.members[me].pid.store(0);
    s.members[me].sleeping = 0;
    lock_bytes(fd_, member_byte(me), 1, F_UNLCK);
    wake_others(s, me);
    lost_member(true);
}

void Segment::lost_member(bool leaving) {
    Layout& s = *s_;
    for (std::uint64_t life = s.life.load();;) {
        // A count that no process stands for any more (one killed half-way through joining,
        // leaving or dropping a dead member) must not keep the segment alive after everybody has
        // gone: a member leaving while nobody else holds a member byte or is joining is the last
        // one out, whatever the count. A joiner is counted in while it holds the joining byte and
        // keeps it until it holds its member byte, so looking at them in this order after reading
        // the count misses nobody the count includes; one counted in after it makes the swap fail.
        const bool last = life_members(life) <= 1 ||
                          (leaving && !locked_by_another(fd_, JOINING_BYTE, 1) &&
                           !locked_by_another(fd_, 1, MEMBER_BYTES));
        const std::uint64_t next = last ? LIFE_DEAD : life - LIFE_STATES;
        if (s.life.compare_exchange_weak(life, next)) {
            // The last one out: nobody may join this segment any more; the next opener makes a new one.
            if (last) unlink_if_same(name_, fd_);
            return;
        }
    }
}

bool Segment::alive(int m) const {
    return s_->members[m].pid.load() != 0 && locked_by_another(fd_, member_byte(m), 1);
}

bool Segment::drop(int m, std::int32_t pid) {
    Layout& s = *s_;
    // Whoever swaps the pid out does the rest, once.
    if (!s.members[m].pid.compare_exchange_strong(pid, 0)) return false;
    const Owner gone = owner(m);
    for (std::size_t p = 0; p < port_limit(s); ++p) free_port(s, p, gone);
    for (Chunk& c : s.chunks) {
        Owner o = gone;
        c.owner.compare_exchange_strong(o, 0);
    }
    lost_member();
    return true;
}

void Segment::sweep(int me) {
    Layout& s = *s_;
    bool dropped = false;
    for (std::size_t i = 0; i < MAX_MEMBERS; ++i) {
        const int m = static_cast<int>(i);
        const std::int32_t pid = s.members[i].pid.load();
        if (m == me || pid == 0 || locked_by_another(fd_, member_byte(m), 1)) continue;
        dropped = drop(m, pid) || dropped;
    }
    // Ports and chunks whose owner's entry another process has taken since.
    for (std::size_t p = 0; p < port_limit(s); ++p) {
        const Owner o = s.ports[p].owner.load();
        const int m = owner_member(o);
        if (o != 0 && m >= 0 && m < static_cast<int>(MAX_MEMBERS) && m != me &&
            (s.members[m].pid.load() == 0 || owner(m) != o)) {
            free_port(s, p, o);
            dropped = true;
        }
    }
    for (Chunk& c : s.chunks) {
        Owner o = c.owner.load();
        const int m = owner_member(o);
        if (o != 0 && m >= 0 && m < static_cast<int>(MAX_MEMBERS) && m != me &&
            (s.members[m].pid.load() == 0 || owner(m) != o))
            c.owner.compare_exchange_strong(o, 0);
    }
    if (dropped) wake_others(s, me);
}

// ---------------------------------------------------------------- ports

int take_port(Layout& s, Owner owner) {
    for (std::size_t i = 0; i < MAX_PORTS; ++i) {
        Port& p = s.ports[i];
        Owner free = 0;
        if (!p.owner.compare_exchange_strong(free, owner)) continue;
        // Whatever its last owner left queued is not this adapter's.
        const std::uint64_t tail = p.tail.load();
        for (std::uint64_t c = p.consumed.load(); c < tail && !p.consumed.compare_exchange_weak(c, tail);) {
        }
        for (std::uint32_t limit = s.port_limit.load(); limit <= i && !s.port_limit.compare_exchange_weak(limit, i + 1);) {
        }
        return static_cast<int>(i);
    }
    return -1;
}

void free_port(Layout& s, std::size_t port, Owner owner) {
    Port& p = s.ports[port];
    if (p.owner.load() != owner) return;
    // Its queue is emptied first, so that nobody carries what it left once it is free.
    const std::uint64_t tail = p.tail.load();
    for (std::uint64_t c = p.consumed.load(); c < tail && !p.consumed.compare_exchange_weak(c, tail);) {
    }
    p.owner.compare_exchange_strong(owner, 0);
}

std::size_t port_count(const Layout& s) {
    std::size_t n = 0;
    for (std::size_t p = 0; p < port_limit(s); ++p) n += s.ports[p].owner.load() != 0;
    return n;
}

// ---------------------------------------------------------------- waking

void wake_others(Layout& s, int me) {
    for (std::size_t m = 0; m < MAX_MEMBERS; ++m) {
        Member& e = s.members[m];
        if (static_cast<int>(m) == me || e.pid.load() == 0) continue;
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
        // Members that died without leaving go; the last of them ends the segment.
        seg->sweep(-1);
        const Layout& s = seg->state();
        if (life_state(s.life.load()) != LIFE_READY) continue;
        if (const std::size_t n = port_count(s)) out.emplace_back(bus, n);
    }
    return out;
}

}  // namespace vad::segment
