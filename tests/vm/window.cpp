// Opens one trace window with the gettimeofday markers, sleeps inside it and
// closes it, so the guest scenarios can exercise the tracer's knobs without
// vormek resetting them. Prints its pid first, then the time from before
// its start marker to after its end marker (a re-arming start marker adds
// its cost). The clock is read outside the window: in the emulator the vDSO
// falls back to a system call.
//
//   vm_window [MILLISECONDS]   (default 20)
//   vm_window open MILLISECONDS   start marker only, then sleep and exit
//   vm_window close               end marker only
//   vm_window thread MILLISECONDS a window opened and closed by a second
//                                 thread, not the process's leader
//   vm_window gettimeofday        an ordinary gettimeofday(&tv, NULL), which
//                                 is no marker, by syscall() past the vDSO
//   vm_window poll MILLISECONDS   poll() preempt_max_latency for a change:
//                                 prints "polling", then "event VALUE" or
//                                 "timeout", then "waited MS ms"
//   vm_window calls ROUNDS        waits for a line on stdin, then opens a
//                                 window around ROUNDS rounds of 1 ms
//                                 clock_nanosleep, getppid, and a 1-byte
//                                 write and read through a pipe
//   vm_window preempted MILLISECONDS
//                                 as SCHED_FIFO 10 on CPU 1: a window that
//                                 sleeps MILLISECONDS, then waits 1.5 times
//                                 as long behind a child
//                                 "busy" (SCHED_FIFO 50, CPU 1) that spins
//                                 from 3/4 of the sleep until 1.5 times it
//                                 after seeing it woken; prints "busy PID"
//   vm_window loop COUNT          COUNT windows, each around a 1 ms sleep
//   vm_window spin MILLISECONDS   a window that spins without system calls,
//                                 about MILLISECONDS (counted, not timed)
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void sleep_ms(long ms) {
    usleep(static_cast<useconds_t>(ms * 1000));
}

// The knob's value, read from its start.
long read_value(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    return n > 0 ? std::strtol(text, nullptr, 10) : -1;
}

int poll_max_latency(long ms) {
    const int fd = open("/proc/sys/kernel/preempt_max_latency", O_RDONLY);
    if (fd < 0 || read_value(fd) < 0) {
        std::perror("preempt_max_latency");
        return 1;
    }
    if (std::printf("polling\n") < 0 || std::fflush(stdout) != 0) {
        return 1;
    }
    pollfd p{fd, POLLPRI, 0};
    const long long before = now_ns();
    const int ready = poll(&p, 1, static_cast<int>(ms));
    const long long waited_ms = (now_ns() - before) / 1000000;
    if (ready > 0) {
        std::printf("event %ld\n", read_value(fd));
    } else {
        std::printf("timeout\n");
    }
    std::printf("waited %lld ms\n", waited_ms);
    close(fd);
    return ready < 0 ? 1 : 0;
}

// The window of "thread": start marker, sleep, end marker.
void *window_thread(void *ms) {
    syscall(SYS_gettimeofday, nullptr, 1L);
    sleep_ms(*static_cast<long *>(ms));
    syscall(SYS_gettimeofday, nullptr, nullptr);
    return nullptr;
}

void pin_fifo(int priority) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(1, &cpus);
    const sched_param param{priority};
    if (sched_setaffinity(0, sizeof(cpus), &cpus) != 0 ||
        sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::perror("pin_fifo");
        std::exit(1);
    }
}

void sleep_until(long long ns) {
    const timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}

// The opener's state letter from /proc/PID/stat ('?' if unreadable).
char state_of(int fd) {
    char text[256] = {};
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    const char *const paren = n > 0 ? std::strrchr(text, ')') : nullptr;
    return paren != nullptr && paren[1] == ' ' ? paren[2] : '?';
}

// Spins a little between looks at the clock or the opener: each look is a
// system call in the emulator, an event in the window.
void spin_a_while() {
    for (int i = 0; i < 10000; ++i) {
        asm volatile("" ::: "memory");
    }
}

// The busy child starts spinning at 3/4 of the opener's sleep, sees it
// woken (its state from S to R), and spins 1.5 times the sleep more: the
// opener waits that long. The opener sets the time only once the child is
// ready, and the child gives up (status 1) if it has not seen the wakeup
// 10 s after the window opened: a child that looked only once the opener
// was in waitpid() would otherwise spin forever, each waiting on the other.
int preempted(long ms) {
    int go[2];
    int ready[2];
    if (pipe(go) != 0 || pipe(ready) != 0) {
        return 1;
    }
    const pid_t opener = getpid();
    const pid_t busy = fork();
    if (busy == 0) {
        close(go[1]);
        close(ready[0]);
        prctl(PR_SET_NAME, "busy");
        pin_fifo(50);
        const std::string stat = "/proc/" + std::to_string(opener) + "/stat";
        const int fd = open(stat.c_str(), O_RDONLY);
        long long start = 0;
        if (fd < 0 || write(ready[1], "r", 1) != 1 ||
            read(go[0], &start, sizeof(start)) != sizeof(start)) {
            _exit(1);
        }
        sleep_until(start + ms * 750000);
        const long long give_up = start + 10000000000LL;
        bool asleep = false;
        for (char state = state_of(fd); !asleep || state != 'R'; state = state_of(fd)) {
            asleep = asleep || state == 'S';
            spin_a_while();
            if (now_ns() > give_up) {
                _exit(1);
            }
        }
        const long long end = now_ns() + ms * 1500000;
        while (now_ns() < end) {
            spin_a_while();
        }
        // Exits once the window has closed: an exit takes long on a debug
        // kernel, and would add to the wait.
        _exit(read(go[0], &start, sizeof(start)) == sizeof(start) ? 0 : 1);
    }
    // A child that exits early leaves the opener an end of file to read.
    close(ready[1]);
    pin_fifo(10);
    if (std::printf("busy %d\n", static_cast<int>(busy)) < 0 || std::fflush(stdout) != 0) {
        return 1;
    }
    // The child learns before the window opens when to wake.
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1) {
        return 1;
    }
    const long long start = now_ns() + 100000000;
    if (write(go[1], &start, sizeof(start)) != sizeof(start)) {
        return 1;
    }
    sleep_until(start);
    syscall(SYS_gettimeofday, nullptr, 1L);
    sleep_ms(ms);
    syscall(SYS_gettimeofday, nullptr, nullptr);
    if (write(go[1], &start, sizeof(start)) != sizeof(start)) {
        return 1;
    }
    int status = 0;
    return waitpid(busy, &status, 0) == busy && status == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    const int named = argc > 1 && std::isalpha(static_cast<unsigned char>(argv[1][0])) ? 1 : 0;
    const char *mode = named != 0 ? argv[1] : "";
    const long ms = argc > 1 + named ? std::strtol(argv[1 + named], nullptr, 10) : 20;
    if (std::strcmp(mode, "poll") == 0) {
        return poll_max_latency(ms);
    }
    if (std::printf("%d\n", static_cast<int>(getpid())) < 0 || std::fflush(stdout) != 0) {
        return 1;
    }
    if (std::strcmp(mode, "open") == 0) {
        syscall(SYS_gettimeofday, nullptr, 1L);
        sleep_ms(ms);
        return 0;
    }
    if (std::strcmp(mode, "close") == 0) {
        return syscall(SYS_gettimeofday, nullptr, nullptr) == 0 ? 0 : 1;
    }
    if (std::strcmp(mode, "thread") == 0) {
        long window_ms = ms;
        pthread_t thread{};
        return pthread_create(&thread, nullptr, window_thread, &window_ms) == 0 &&
                       pthread_join(thread, nullptr) == 0
                   ? 0
                   : 1;
    }
    if (std::strcmp(mode, "calls") == 0) {
        int pipe_fds[2];
        char byte = 'x';
        const timespec ms1{0, 1000000};
        if (pipe(pipe_fds) != 0 || std::getchar() == EOF) {
            return 1;
        }
        syscall(SYS_gettimeofday, nullptr, 1L);
        for (long round = 0; round < ms; ++round) {
            clock_nanosleep(CLOCK_MONOTONIC, 0, &ms1, nullptr);
            syscall(SYS_getppid);
            if (write(pipe_fds[1], &byte, 1) != 1 || read(pipe_fds[0], &byte, 1) != 1) {
                return 1;
            }
        }
        syscall(SYS_gettimeofday, nullptr, nullptr);
        return 0;
    }
    if (std::strcmp(mode, "preempted") == 0) {
        return preempted(ms);
    }
    if (std::strcmp(mode, "loop") == 0) {
        const timespec ms1{0, 1000000};
        for (long i = 0; i < ms; ++i) {
            syscall(SYS_gettimeofday, nullptr, 1L);
            clock_nanosleep(CLOCK_MONOTONIC, 0, &ms1, nullptr);
            syscall(SYS_gettimeofday, nullptr, nullptr);
        }
        return 0;
    }
    if (std::strcmp(mode, "spin") == 0) {
        // Counted, not timed: the emulator's clock reads are system calls.
        syscall(SYS_gettimeofday, nullptr, 1L);
        for (long long i = 0; i < ms * 1000000; ++i) {
            asm volatile("" ::: "memory");
        }
        syscall(SYS_gettimeofday, nullptr, nullptr);
        return 0;
    }
    if (std::strcmp(mode, "gettimeofday") == 0) {
        timeval tv{};
        return syscall(SYS_gettimeofday, &tv, nullptr) == 0 && tv.tv_sec > 0 ? 0 : 1;
    }
    const long long before = now_ns();
    syscall(SYS_gettimeofday, nullptr, 1L);
    sleep_ms(ms);
    syscall(SYS_gettimeofday, nullptr, nullptr);
    return std::printf("marker to marker: %lld us\n", (now_ns() - before) / 1000) < 0 ? 1 : 0;
}
