// Short time slices for a thread that wakes often and runs briefly (an event thread, a transfer
// engine): on Linux 6.12 and newer the fair scheduler takes a thread's requested slice into account,
// and one with a short slice runs as soon as it wakes instead of after the running task's slice,
// which on a busy machine can be milliseconds. The thread takes no more time than before; the
// request is allowed to every user and leaves its policy and nice value as they are. Elsewhere (older
// kernels, other systems) it does nothing.
#pragma once

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace fdh {

inline void ask_for_short_slices() {
#if defined(__linux__) && defined(SYS_sched_setattr)
    struct SchedAttr {  // the kernel's sched_attr (linux/sched/types.h); glibc has no wrapper for it
        std::uint32_t size, sched_policy;
        std::uint64_t sched_flags;
        std::int32_t sched_nice;
        std::uint32_t sched_priority;
        std::uint64_t sched_runtime, sched_deadline, sched_period;
    };
    SchedAttr a{};
    a.size = sizeof a;
    if (syscall(SYS_sched_getattr, 0, &a, sizeof a, 0) != 0 || a.sched_policy != 0 /* SCHED_OTHER */) return;
    a.sched_flags = 0;
    a.sched_runtime = 100'000;  // ns: the shortest slice the kernel grants
    (void)syscall(SYS_sched_setattr, 0, &a, 0);
#endif
}

}  // namespace fdh
