// The hooks on a real kernel (scenarios 03, 04, 05 and 12): parked after
// disarm_ms and put back by a start marker, load parameters and knob
// writes that are refused, a storm of markers, re-arms and writes.
#include "report_parser.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <iostream>

namespace {

// A second after the last window the wide hooks are gone; the next start
// marker puts them back before its window opens. An opener's exit closes
// its window.
TEST(Vm, HooksFollowWindowsAndAnOpenersExitClosesIt) {
    const std::string parked = result_file("parked/report");
    EXPECT_EQ(field(parked, "hooks"), "functions=0 events=0 wakeups=0 parked=1");
    EXPECT_EQ(lines_of(result_file("parked/knobs")), (std::vector<std::string>{"1", "1", "1"}));
    const std::vector<std::string> patched = lines_of(result_file("parked/enabled_functions"));
    ASSERT_EQ(patched.size(), 1U) << "functions still patched";
    EXPECT_EQ(patched[0].rfind(sys("gettimeofday") + " ", 0), 0U) << patched[0];

    const case_result rearmed = run_case("rearmed");
    const std::string report = result_file("rearmed/report");
    const std::string task = window_task("rearmed");
    EXPECT_EQ(field(report, "opened_by").rfind(task + " on cpu ", 0), 0U);
    EXPECT_EQ(field(report, "closed_by"), task);
    const std::vector<event> events = events_of(report);
    EXPECT_EQ(calls_of(events, task),
              (std::vector<std::string>{numbered("clock_nanosleep"), numbered("gettimeofday")}));
    EXPECT_TRUE(has_event(events, task, "hrtimer_nanosleep"));
    std::cout << "a re-arming 20 ms window, " << lines_of(rearmed.out).back() << "\n";

    const std::string killed = result_file("killed/report");
    const std::string victim = "vm_window-" + first_line(result_file("killed/stdout"));
    EXPECT_EQ(field(killed, "opened_by").rfind(victim + " on cpu ", 0), 0U)
        << killed.substr(0, 600);
    EXPECT_EQ(field(killed, "closed_by"), "exit of " + victim);
    EXPECT_LT(number(killed, "length_us"), 60e6);

    // Unloading while a re-arm was pending and its window open.
    const case_result unload = run_case("unload-busy");
    EXPECT_EQ(unload.status, 0) << unload.err;
}

// Each refused write left its knob as it was, and the hooks and the write
// log too; each refused load said why in one line (busybox's insmod tries
// twice, so it may print twice).
TEST(Vm, OutOfRangeInputIsRefusedAndChangesNothing) {
    const std::vector<std::string> writes = lines_of(result_file("refused/writes"));
    EXPECT_EQ(writes.size(), 7U);
    for (const std::string &line : writes) {
        int status = 0;
        long before = 0;
        long after = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%*s status=%d before=%ld after=%ld", &status, &before,
                              &after),
                  3)
            << line;
        EXPECT_NE(status, 0) << line;
        EXPECT_EQ(before, after) << line;
    }
    EXPECT_NE(field(result_file("refused/before"), "hooks"), "");
    EXPECT_EQ(result_file("refused/after"), result_file("refused/before"));
    EXPECT_EQ(trimmed(result_file("refused/thresh-max")), "2147483647");

    const std::pair<std::string, std::string> loads[] = {
        {"buffer_size=4294967295",
         "vormek_tracer: buffer_size=4294967295 is out of range (16 to 16777216 events per CPU)"},
        {"buffer_size=16777216",
         "vormek_tracer: cannot allocate buffers of 16777216 events per CPU (buffer_size)"},
        {"disarm_ms=3600001", "vormek_tracer: disarm_ms=3600001 is out of range (0 to 3600000)"},
        {"hist_bucket_us=3", "vormek_tracer: hist_bucket_us=3 and hist_range_us=10000 are out of "
                             "range (the range a multiple of the bucket, at most 100000 buckets)"},
    };
    for (const auto &[load, message] : loads) {
        SCOPED_TRACE(load);
        EXPECT_NE(run_case("load-" + load).status, 0);
        const std::vector<std::string> before = lines_of(result_file("dmesg-before-" + load));
        const std::vector<std::string> after = lines_of(result_file("dmesg-after-" + load));
        ASSERT_GT(after.size(), before.size());
        for (std::size_t i = before.size(); i < after.size(); ++i) {
            EXPECT_NE(after[i].find(message), std::string::npos) << after[i];
        }
    }
}

// Markers from three processes, re-arms every 50 ms and arming knob writes
// left vormek working. Windows longer than disarm_ms (50 ms) are recorded
// to their end markers: the hooks stay while a window is open.
TEST(Vm, AStormLeavesVormekWorkingAndLongWindowsWhole) {
    const case_result storm = run_case("storm");
    EXPECT_EQ(storm.status, 0);
    EXPECT_EQ(storm.err, "");
    const std::string closed_by = field(storm.out, "closed_by");
    EXPECT_EQ(closed_by.rfind("vormek-", 0), 0U) << storm.out.substr(0, 600);
    EXPECT_EQ(calls_of(events_of(storm.out), closed_by),
              (std::vector<std::string>{numbered("clock_nanosleep"), numbered("gettimeofday")}));

    const window_run long_window = window_case("long-window");
    ASSERT_TRUE(long_window.opened);
    ASSERT_FALSE(long_window.events.empty());
    EXPECT_TRUE(has_event(long_window.events, long_window.task,
                          "sys_enter: NR " + nr("gettimeofday") + " (0, 0, "))
        << "no end marker";
    EXPECT_GT(long_window.events.back().at_us, number(long_window.report, "length_us") - 1000);
}

} // namespace
