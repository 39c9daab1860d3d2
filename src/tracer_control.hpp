// Every exchange with the kernel's latency tracer: the presence probe, the
// fixed settings, the two window markers and the dump of the report.
#pragma once

#include <cstddef>

// One knob write: the knob under /proc/sys/kernel, the digit written, and the
// shell command line that writes it.
struct tracer_setting {
    const char *knob;
    const char *value;
    const char *command;
};

constexpr std::size_t tracer_setting_count = 10;

// The ten writes, in the order they are made; mcount_enabled comes last.
extern const tracer_setting tracer_settings[tracer_setting_count];

// The presence probe: succeeds exactly when mcount_enabled can be read.
extern const char probe_command[];

// The dump: the report, byte for byte, on the shell's standard output.
extern const char dump_command[];

// Runs "cat" on /proc/sys/kernel/mcount_enabled with all output discarded;
// true exactly when the shell reported success.
bool probe_tracer();

// Runs the ten settings command lines one after another; statuses are ignored.
void apply_tracer_settings();

// gettimeofday(NULL, 1): the tracer opens its user-triggered window.
void mark_window_start();

// gettimeofday(NULL, NULL): the tracer closes the window.
void mark_window_end();

// Copies /proc/latency_trace to standard output through "cat".
void dump_trace();
