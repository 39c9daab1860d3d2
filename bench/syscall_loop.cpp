// The VM benchmark's system-call-heavy work: ROUNDS rounds of getppid and a
// one-byte read from /dev/zero and write to /dev/null (the work of
// "dd bs=1"), timed by CLOCK_MONOTONIC. Prints nanoseconds per round. With
// --window the rounds run inside a trace window (the gettimeofday markers);
// with --ftrace, between turning the kernel's own tracing on and off.
// With --markers it instead opens and closes ROUNDS empty windows back to
// back and prints what the first start marker cost its caller, the median
// of the others, and the median of their end markers, in nanoseconds.
//
//   syscall_loop ROUNDS [--window | --ftrace | --markers]
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The loop has nothing to undo: a failure ends the process at once.
[[noreturn]] void fail(const char *what) {
    std::perror(what);
    std::exit(1);
}

long long median_of(std::array<long long, 1000> &cost, long n) {
    if (n <= 0) {
        return 0;
    }
    auto *const middle = cost.begin() + n / 2;
    std::nth_element(cost.begin(), middle, cost.begin() + n);
    return *middle;
}

// The first start marker's cost, the median of up to 1000 more, and the
// median of their end markers.
int markers(long rounds) {
    std::array<long long, 1000> cost{};
    std::array<long long, 1000> end_cost{};
    const long n = std::min<long>(rounds - 1, cost.size());
    long long first = 0;
    for (long i = -1; i < n; ++i) {
        const long long before = now_ns();
        syscall(SYS_gettimeofday, nullptr, 1L);
        const long long took = now_ns() - before;
        const long long before_end = now_ns();
        syscall(SYS_gettimeofday, nullptr, nullptr);
        const long long end_took = now_ns() - before_end;
        if (i < 0) {
            first = took;
        } else {
            cost[static_cast<std::size_t>(i)] = took;
            end_cost[static_cast<std::size_t>(i)] = end_took;
        }
    }
    const long long median = median_of(cost, n);
    return std::printf("%lld %lld %lld\n", first, median, median_of(end_cost, n)) < 0 ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    if (argc > 2 && std::strcmp(argv[2], "--markers") == 0) {
        return rounds > 0 ? markers(rounds) : 1;
    }
    const bool window = argc > 2 && std::strcmp(argv[2], "--window") == 0;
    const int ftrace = argc > 2 && std::strcmp(argv[2], "--ftrace") == 0
                           ? open("/sys/kernel/tracing/tracing_on", O_WRONLY)
                           : -2;
    const int zero = open("/dev/zero", O_RDONLY);
    const int null = open("/dev/null", O_WRONLY);
    if (zero < 0 || null < 0 || ftrace == -1 || rounds <= 0) {
        fail("syscall_loop");
    }
    char byte = 0;
    const long long start = now_ns();
    if (window) {
        syscall(SYS_gettimeofday, nullptr, 1L);
    } else if (ftrace >= 0 && write(ftrace, "1", 1) != 1) {
        fail("syscall_loop: tracing_on");
    }
    for (long i = 0; i < rounds; ++i) {
        syscall(SYS_getppid);
        if (read(zero, &byte, 1) != 1 || write(null, &byte, 1) != 1) {
            fail("syscall_loop");
        }
    }
    if (window) {
        syscall(SYS_gettimeofday, nullptr, nullptr);
    } else if (ftrace >= 0 && write(ftrace, "0", 1) != 1) {
        fail("syscall_loop: tracing_on");
    }
    std::printf("%.1f\n", static_cast<double>(now_ns() - start) / static_cast<double>(rounds));
    close(zero);
    close(null);
    if (ftrace >= 0) {
        close(ftrace);
    }
    return 0;
}
