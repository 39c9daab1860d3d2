#include "tracer_control.hpp"

#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

const tracer_setting tracer_settings[tracer_setting_count] = {
    {"trace_all_cpus", "1", "echo 1 > /proc/sys/kernel/trace_all_cpus"},
    {"trace_enabled", "1", "echo 1 > /proc/sys/kernel/trace_enabled"},
    {"trace_freerunning", "0", "echo 0 > /proc/sys/kernel/trace_freerunning"},
    {"trace_print_at_crash", "0", "echo 0 > /proc/sys/kernel/trace_print_at_crash"},
    {"trace_user_triggered", "1", "echo 1 > /proc/sys/kernel/trace_user_triggered"},
    {"trace_verbose", "0", "echo 0 > /proc/sys/kernel/trace_verbose"},
    {"preempt_max_latency", "0", "echo 0 > /proc/sys/kernel/preempt_max_latency"},
    {"preempt_thresh", "0", "echo 0 > /proc/sys/kernel/preempt_thresh"},
    // Not every tracer kernel has wakeup_timing: write it only where it exists.
    {"wakeup_timing", "0",
     "[ -e /proc/sys/kernel/wakeup_timing ] && echo 0 > /proc/sys/kernel/wakeup_timing"},
    {"mcount_enabled", "1", "echo 1 > /proc/sys/kernel/mcount_enabled"},
};

const char probe_command[] = "cat /proc/sys/kernel/mcount_enabled >/dev/null 2>/dev/null";
const char dump_command[] = "cat /proc/latency_trace";

namespace {
// Runs one command line whose status nobody looks at: a failing write or dump
// speaks for itself through the shell's or cat's diagnostic on stderr.
void run_unchecked(const char *command) {
    const int status = std::system(command);
    static_cast<void>(status);
}
} // namespace

bool probe_tracer() {
    return std::system(probe_command) == 0;
}

void apply_tracer_settings() {
    for (const tracer_setting &setting : tracer_settings) {
        run_unchecked(setting.command);
    }
}

// The markers are made as raw system calls, not through the C library's
// gettimeofday: glibc answers that from the vDSO, so the kernel would never
// see the call, and the vDSO would write through the time-zone value 1 and
// crash. The result (EFAULT for the start marker) is of no interest.
void mark_window_start() {
    syscall(SYS_gettimeofday, static_cast<void *>(nullptr), static_cast<long>(1));
}

void mark_window_end() {
    syscall(SYS_gettimeofday, static_cast<void *>(nullptr), static_cast<void *>(nullptr));
}

void dump_trace() {
    run_unchecked(dump_command);
}
