// Opens one trace window with the gettimeofday markers, sleeps inside it and
// closes it, so the guest scenarios can exercise the tracer's knobs without
// vormek resetting them. Prints its pid first, then the time from before
// its start marker to after its end marker (a re-arming start marker adds
// its cost). The clock is read outside the window: in the emulator the vDSO
// falls back to a system call.
//
//   vm_window [MILLISECONDS]   (default 20)
#include <cstdio>
#include <cstdlib>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

} // namespace

int main(int argc, char **argv) {
    const long ms = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20;
    if (std::printf("%d\n", static_cast<int>(getpid())) < 0 || std::fflush(stdout) != 0) {
        return 1;
    }
    const long long before = now_ns();
    syscall(SYS_gettimeofday, nullptr, 1L);
    usleep(static_cast<useconds_t>(ms * 1000));
    syscall(SYS_gettimeofday, nullptr, nullptr);
    return std::printf("marker to marker: %lld us\n", (now_ns() - before) / 1000) < 0 ? 1 : 0;
}
