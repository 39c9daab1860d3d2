// Opens one trace window with the gettimeofday markers, sleeps inside it and
// closes it, so the guest scenarios can exercise the tracer's knobs without
// vormek resetting them. Prints its pid first.
//
//   vm_window [MILLISECONDS]   (default 20)
#include <cstdio>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const long ms = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20;
    if (std::printf("%d\n", static_cast<int>(getpid())) < 0 || std::fflush(stdout) != 0) {
        return 1;
    }
    syscall(SYS_gettimeofday, nullptr, 1L);
    usleep(static_cast<useconds_t>(ms * 1000));
    syscall(SYS_gettimeofday, nullptr, nullptr);
    return 0;
}
