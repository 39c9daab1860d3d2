// vormek_bench: measures vormek runs; meant to run inside fakeproc, whose
// /proc stands in for a tracer kernel's.
//
//   vormek_bench TOOL [RUNS]
//
// Each run starts the tool twice, runs the floor, and the figures of all
// runs are printed:
// - traced: every system call of the tool itself stops it (its shells run
//   free), to count the calls inside the window and read the peak resident
//   memory at exit;
// - timed: no ptrace; only the markers are handed to the bench (seccomp user
//   notification), so the run goes at full speed; the window is timed
//   between the two markers' entries, and the rest of the wall time from
//   exec to reaping is the time outside the window;
// - the floor: the same twelve command lines run back to back with system().
#include "tracer_control.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct traced_run {
    int calls_in_window = -1;
    long peak_rss_kib = -1;
};

long peak_rss_kib(pid_t pid) {
    // Inside fakeproc the host's procfs is at /proc/.host.
    for (const char *root : {"/proc/.host", "/proc"}) {
        const std::string path = std::string(root) + "/" + std::to_string(pid) + "/status";
        if (FILE *status = std::fopen(path.c_str(), "r")) {
            char line[256];
            long kib = -1;
            while (std::fgets(line, sizeof line, status) != nullptr) {
                if (std::strncmp(line, "VmHWM:", 6) == 0) {
                    kib = std::strtol(line + 6, nullptr, 10);
                    break;
                }
            }
            static_cast<void>(std::fclose(status));
            return kib;
        }
    }
    return -1;
}

void redirect_stdout_to_null() {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
}

// Runs the command lines back to back with system(), the bench's stdout on
// /dev/null; returns their wall time.
double run_commands_ms(const std::vector<const char *> &commands) {
    const int saved = dup(STDOUT_FILENO);
    redirect_stdout_to_null();
    int ignored = 0;
    const double begin = now_ms();
    for (const char *command : commands) {
        ignored |= std::system(command);
    }
    const double elapsed = now_ms() - begin;
    dup2(saved, STDOUT_FILENO);
    close(saved);
    static_cast<void>(ignored);
    return elapsed;
}

traced_run run_traced(const char *tool) {
    traced_run result;
    const pid_t pid = fork();
    if (pid == 0) {
        redirect_stdout_to_null();
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execl(tool, tool, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0); // stopped at exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    bool in_window = false;
    int signal_to_pass = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, signal_to_pass);
        signal_to_pass = 0;
        if (waitpid(pid, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status)) {
            break;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal_to_pass = WSTOPSIG(status); // a real signal, such as SIGCHLD
            continue;
        }
        __ptrace_syscall_info info{};
        ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY) {
            continue;
        }
        const auto nr = static_cast<long>(info.entry.nr);
        const bool marker = nr == SYS_gettimeofday && info.entry.args[0] == 0;
        if (marker && info.entry.args[1] == 1) {
            in_window = true;
            result.calls_in_window = 0;
        } else if (marker && info.entry.args[1] == 0 && in_window) {
            in_window = false;
        } else if (in_window) {
            ++result.calls_in_window;
        } else if (nr == SYS_exit_group) {
            result.peak_rss_kib = peak_rss_kib(pid);
        }
    }
    return result;
}

struct timed_run {
    double total_ms = -1;  // from the tool's exec to its reaping
    double window_ms = -1; // from the start marker's entry to the end marker's
};

// Times the markers without ptrace, whose stops (one for every SIGCHLD the
// tool gets) would add to the tool's time: a seccomp filter hands only
// gettimeofday to the bench through a user-notification listener, and the
// bench lets each call go on at once. The clock starts in the child right
// before exec, so the bench's own fork is not counted against the tool.
timed_run run_timed(const char *tool) {
    timed_run result;
    struct shared_page {
        double exec_at;
        int listener;
    };
    const int flags = MAP_SHARED | MAP_ANONYMOUS;
    // cppcheck-suppress invalidFunctionArg ; fd -1 is what MAP_ANONYMOUS asks for
    void *memory = mmap(nullptr, sizeof(shared_page), PROT_READ | PROT_WRITE, flags, -1, 0);
    auto *shared = static_cast<shared_page *>(memory);
    shared->listener = -1;
    const pid_t pid = fork();
    if (pid == 0) {
        redirect_stdout_to_null();
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_gettimeofday, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        shared->listener = static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                                    SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
        static_cast<void>(raise(SIGSTOP)); // until the bench holds the listener
        close(shared->listener);
        shared->exec_at = now_ms();
        execl(tool, tool, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, WUNTRACED);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const int listener = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, shared->listener, 0));
    close(pidfd);
    kill(pid, SIGCONT);
    double start = -1;
    while (listener >= 0) {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0 || (ready.revents & POLLIN) == 0) {
            break; // every task holding the filter has ended
        }
        seccomp_notif request{};
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
            continue;
        }
        const double at = now_ms();
        if (request.data.args[0] == 0 && request.data.args[1] == 1) {
            start = at;
        } else if (request.data.args[0] == 0 && request.data.args[1] == 0 && start >= 0) {
            result.window_ms = at - start;
        }
        seccomp_notif_resp response{};
        response.id = request.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
    waitpid(pid, &status, 0);
    result.total_ms = now_ms() - shared->exec_at;
    if (listener >= 0) {
        close(listener);
    }
    munmap(memory, sizeof(shared_page));
    return result;
}

// The tool's twelve command lines, back to back, as the shell runs them.
double run_floor_ms() {
    std::vector<const char *> commands = {probe_command};
    for (const tracer_setting &setting : tracer_settings) {
        commands.push_back(setting.command);
    }
    commands.push_back(dump_command);
    return run_commands_ms(commands);
}

// For reading the ratio: what starting any program costs, and how much
// slower the dump command runs right after 100 ms of idle than warm.
double run_true_ms() {
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    const double begin = now_ms();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    return now_ms() - begin;
}

double dump_after_idle_penalty_ms() {
    const double warm = run_commands_ms({dump_command});
    usleep(100000);
    return run_commands_ms({dump_command}) - warm;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double worst(const std::vector<double> &values) {
    return *std::max_element(values.begin(), values.end());
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        static_cast<void>(std::fprintf(stderr, "usage: vormek_bench TOOL [RUNS]\n"));
        return 2;
    }
    const char *tool = argv[1];
    const long runs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 20;
    if (runs < 1 || runs > 100000) {
        static_cast<void>(std::fprintf(stderr, "vormek_bench: RUNS must be 1 to 100000\n"));
        return 2;
    }

    // One CPU for everything, so that runs do not differ by where they land.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(sched_getcpu(), &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);
    // A first round, not counted, warms the caches for tool and shell alike.
    run_timed(tool);
    run_floor_ms();

    std::vector<double> calls;
    std::vector<double> window_error;
    std::vector<double> outside;
    std::vector<double> floor;
    std::vector<double> ratio;
    std::vector<double> rss;
    std::vector<double> start_program;
    std::vector<double> idle_penalty;
    for (long i = 0; i < runs; ++i) {
        const traced_run traced = run_traced(tool);
        const timed_run timed = run_timed(tool);
        const double bare = run_floor_ms();
        if (traced.calls_in_window < 0 || timed.window_ms <= 0) {
            static_cast<void>(std::fprintf(
                stderr, "run %ld: no window seen (is this inside fakeproc?)\n", i + 1));
            return 1;
        }
        calls.push_back(traced.calls_in_window);
        window_error.push_back(timed.window_ms - 100.0);
        outside.push_back(timed.total_ms - timed.window_ms);
        floor.push_back(bare);
        ratio.push_back(outside.back() / bare);
        rss.push_back(static_cast<double>(traced.peak_rss_kib));
        start_program.push_back(run_true_ms());
        idle_penalty.push_back(dump_after_idle_penalty_ms());
    }

    std::printf("vormek: %ld runs in the user-space stand-in\n\n", runs);
    std::printf("%-44s %10s %10s\n", "", "median", "worst");
    std::printf("%-44s %10.0f %10.0f   (limit 1)\n", "system calls inside the window",
                median(calls), worst(calls));
    std::printf("%-44s %10.3f %10.3f\n", "window length - 100 ms, ms", median(window_error),
                worst(window_error));
    std::printf("%-44s %10.2f %10.2f\n", "time outside the window, ms", median(outside),
                worst(outside));
    std::printf("%-44s %10.2f %10.2f\n", "floor: the 12 command lines with sh -c, ms",
                median(floor), worst(floor));
    std::printf("%-44s %10.3f %10.3f   (target <= 1.10 for the median)\n",
                "ratio outside / floor (per run)", median(ratio), worst(ratio));
    std::printf("%-44s %10.3f\n", "ratio of the medians", median(outside) / median(floor));
    std::printf("%-44s %10.0f %10.0f\n", "peak resident memory of the tool, KiB", median(rss),
                worst(rss));
    std::printf("\nfor reading the ratio, what the floor leaves out:\n");
    std::printf("%-44s %10.2f %10.2f\n", "starting and reaping /bin/true, ms",
                median(start_program), worst(start_program));
    std::printf("%-44s %10.2f %10.2f\n", "dump after 100 ms idle minus warm dump, ms",
                median(idle_penalty), worst(idle_penalty));
    return 0;
}
