// The kernel under the tracer (scenarios 13 and 90, and the whole boot):
// concurrent use, a kernel log without faults, kmemleak after the last
// unload, and the trace printed at a crash.
#include "report_parser.hpp"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>

namespace {

TEST(Vm, ConcurrentUseCleanKernelLogAndTraceAtCrash) {
    for (const char *name : {"stress1", "stress2", "stress3"}) {
        SCOPED_TRACE(name);
        const case_result run = run_case(name);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(field(run.out, "window"), "closed");
        EXPECT_EQ(field(run.out, "opened_by").rfind(field(run.out, "closed_by") + " on cpu", 0),
                  0U);
    }
    // 300 writes by the writer and 30 by vormek: the log keeps 256.
    EXPECT_EQ(field(result_file("stress-report-after"), "writes"), "256 logged, 74 lost");

    // No kernel line since boot reports a fault, and the tracer's lines are
    // its own notices; other kernel notes are shown, not failed on.
    const char *const faults[] = {"BUG",
                                  "WARNING",
                                  "Oops",
                                  "lockup",
                                  "stall",
                                  "hung task",
                                  "blocked for more than",
                                  "sleeping function called",
                                  "lockdep",
                                  "locking",
                                  "lock held",
                                  "KASAN",
                                  "KFENCE",
                                  "Call Trace",
                                  "general protection",
                                  "refcount_t"};
    const char *const notices[] = {"loaded: ",
                                   "unloaded",
                                   "buffer_size=",
                                   "disarm_ms=",
                                   "hist_bucket_us=",
                                   "cannot allocate buffers of ",
                                   "loading out-of-tree module",
                                   "module verification failed"};
    const std::vector<std::string> boot = lines_of(result_file("dmesg-boot"));
    const std::vector<std::string> all = lines_of(result_file("dmesg"));
    ASSERT_GT(all.size(), boot.size());
    for (std::size_t i = boot.size(); i < all.size(); ++i) {
        const std::string line = all[i].substr(std::min(all[i].find("] ") + 2, all[i].size()));
        const std::string own = line.rfind("vormek_tracer: ", 0) == 0 ? line.substr(15) : "";
        EXPECT_FALSE(std::any_of(std::begin(faults), std::end(faults), [&](const char *word) {
            return line.find(word) != std::string::npos;
        })) << line;
        if (!own.empty()) {
            EXPECT_TRUE(std::any_of(std::begin(notices), std::end(notices), [&](const char *word) {
                return own.rfind(word, 0) == 0;
            })) << line;
        } else if (line.find("vormek_tracer") == std::string::npos) {
            std::cout << "kernel note: " << line << "\n";
        }
    }

    // The debug kernel's checkers were on; after the last unload kmemleak
    // found nothing that the tracer allocated. The tracer is the only module
    // there, so any frame in the module area (from 0xffffffffa0000000) is
    // its own, named or not once unloaded.
    const std::string checkers = result_file("checkers");
    if (results().find("-debug") != std::string::npos) {
        for (const char *checker :
             {"/proc/lockdep", "/sys/kernel/debug/kmemleak", "/sys/kernel/debug/kfence",
              "hung_task_timeout_secs", "soft_watchdog"}) {
            EXPECT_NE(checkers.find(checker), std::string::npos) << checker;
        }
        EXPECT_NE(result_file("version").find("PREEMPT_RT"), std::string::npos);
        EXPECT_NE(result_file("dmesg-boot").find("KernelAddressSanitizer initialized"),
                  std::string::npos);
    }
    const std::string leaks = result_file("kmemleak");
    EXPECT_EQ(checkers.find("kmemleak") != std::string::npos,
              leaks.find("kmemleak scanned after the last unload") != std::string::npos);
    for (const std::string &line : lines_of(leaks)) {
        // A frame: "0xffffffffa0004d97" once unloaded, "[<ffffffff...>]" on
        // older kernels.
        const std::string frame = trimmed(line);
        const bool is_frame = frame.rfind("0x", 0) == 0 || frame.rfind("[<", 0) == 0;
        const unsigned long long at = is_frame ? std::strtoull(frame.c_str() + 2, nullptr, 16) : 0;
        EXPECT_FALSE(line.find("vormek") != std::string::npos || at >= 0xffffffffa0000000ULL)
            << leaks;
    }

    // The deliberate panic printed the last window, by vm_window, first.
    const std::string console = result_file("console.log");
    const std::size_t trace = console.find("vormek_tracer: the last window's trace");
    const std::size_t end = console.find("vormek_tracer: end of the last window's trace");
    ASSERT_NE(trace, std::string::npos)
        << console.substr(console.size() - std::min<std::size_t>(console.size(), 2000));
    EXPECT_NE(end, std::string::npos);
    EXPECT_NE(console.find("opened_by: " + window_task("crash"), trace), std::string::npos);
    EXPECT_NE(console.find("Kernel panic"), std::string::npos);
}

} // namespace
