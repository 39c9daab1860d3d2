// vormek: capture one user-triggered window of the kernel's latency tracer
// and print the tracer's report.
#include "tracer_control.hpp"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
constexpr useconds_t window_length_us = 100000;
}

int main(int /*argc*/, char ** /*argv*/) {
    // The real user ID, not the effective one: a set-user-ID copy started by
    // an ordinary user is refused too.
    if (getuid() != 0) {
        static_cast<void>(std::fprintf(stderr, "needs to run as root.\n"));
        std::exit(1);
    }
    if (!probe_tracer()) {
        static_cast<void>(std::fprintf(stderr, "CONFIG_LATENCY_TRACING not enabled?\n"));
        std::exit(1);
    }
    apply_tracer_settings();

    // Inside the window the tool makes exactly one system call: the sleep.
    mark_window_start();
    usleep(window_length_us);
    mark_window_end();

    dump_trace();
    return 0;
}
