// vormek on a real kernel: checks the results of the guest scenarios that
// the stand-in VM ran (the vm_boot test, a ctest fixture, boots it once).
#include "file_io.hpp"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <vector>

namespace {

const std::string results = VM_RESULTS_DIR;

std::string result_file(const std::string &name) {
    return read_file(results + "/" + name);
}

struct case_result {
    std::string out, err;
    int status;
};

case_result run_case(const std::string &name) {
    const std::string status = result_file(name + "/status");
    return {result_file(name + "/stdout"), result_file(name + "/stderr"),
            status.empty() ? -1 : std::stoi(status)};
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The value of a "key: value" line of the report ("" where there is none).
std::string field(const std::string &report, const std::string &key) {
    for (const std::string &line : lines_of(report)) {
        if (line.rfind(key + ": ", 0) == 0) {
            return line.substr(key.size() + 2);
        }
    }
    return "";
}

struct knob_write {
    std::string knob;
    int value;
    int pid;
    std::string comm;
    double at_us;
};

// "write N: KNOB=VALUE pid PID comm COMM at_us TIME"
std::vector<knob_write> writes_of(const std::string &report) {
    std::vector<knob_write> writes;
    for (const std::string &line : lines_of(report)) {
        char knob[64] = {};
        char comm[64] = {};
        knob_write w{};
        int index = 0;
        if (std::sscanf(line.c_str(), "write %d: %63[a-z_]=%d pid %d comm %63s at_us %lf", &index,
                        knob, &w.value, &w.pid, comm, &w.at_us) == 6) {
            w.knob = knob;
            w.comm = comm;
            writes.push_back(w);
        }
    }
    return writes;
}

// System calls that `task` ("comm/pid") entered inside the window, by
// number, from lines "+OFFSET cpuN syscall COMM/PID nr NR".
std::vector<long> syscalls_in_window(const std::string &report, const std::string &task) {
    std::vector<long> calls;
    for (const std::string &line : lines_of(report)) {
        char who[64] = {};
        long nr = -1;
        double offset = 0;
        unsigned cpu = 0;
        if (std::sscanf(line.c_str(), "+%lf cpu%u syscall %63s nr %ld", &offset, &cpu, who, &nr) ==
                4 &&
            task == who) {
            calls.push_back(nr);
        }
    }
    return calls;
}

// "pid PID comm vormek"
bool by_some_vormek(const std::string &value) {
    int pid = 0;
    char comm[64] = {};
    return std::sscanf(value.c_str(), "pid %d comm %63s", &pid, comm) == 2 &&
           std::string(comm) == "vormek";
}

const std::vector<std::pair<std::string, int>> table = {
    {"trace_all_cpus", 1},       {"trace_enabled", 1},        {"trace_freerunning", 0},
    {"trace_print_at_crash", 0}, {"trace_user_triggered", 1}, {"trace_verbose", 0},
    {"preempt_max_latency", 0},  {"preempt_thresh", 0},       {"wakeup_timing", 0},
    {"mcount_enabled", 1},
};

// A window opened and closed by one vormek process, about 100 ms long.
void expect_window_by_vormek(const std::string &report, const std::string &pid) {
    EXPECT_EQ(field(report, "window"), "closed");
    const std::string by = "pid " + pid + " comm vormek";
    EXPECT_EQ(field(report, "opened_by"), by);
    EXPECT_EQ(field(report, "closed_by"), by);
    const std::string length = field(report, "length_us");
    ASSERT_FALSE(length.empty());
    const double length_us = std::stod(length);
    EXPECT_GE(length_us, 100000.0);
    EXPECT_LT(length_us, 200000.0);
    std::cout << "window length by the kernel's clock: " << length << " us\n";
    // Inside the window vormek entered the sleep and then the end marker.
    EXPECT_EQ(syscalls_in_window(report, "vormek/" + pid),
              (std::vector<long>{SYS_clock_nanosleep, SYS_gettimeofday}));
}

TEST(VmCapture, FullRunOnRealKernel) {
    const case_result run = run_case("full");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, result_file("full/report-after")) << "report not passed through as is";
    EXPECT_EQ(field(result_file("report-before-window"), "window"), "none (no window was opened)");

    std::string pid = result_file("full/pid");
    pid.erase(pid.find_last_not_of('\n') + 1);
    ASSERT_FALSE(pid.empty());
    expect_window_by_vormek(run.out, pid);

    const std::vector<knob_write> writes = writes_of(run.out);
    ASSERT_EQ(writes.size(), table.size());
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].knob, table[i].first) << "write " << i;
        EXPECT_EQ(writes[i].value, table[i].second) << "write " << i;
        EXPECT_EQ(writes[i].comm, "sh") << "write " << i;
        EXPECT_NE(std::to_string(writes[i].pid), pid) << "write " << i << " by vormek itself";
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(writes[i].pid, writes[j].pid) << "writes " << j << " and " << i;
        }
    }
    const std::string start_us = field(run.out, "start_us");
    ASSERT_FALSE(start_us.empty());
    EXPECT_LT(writes.back().at_us, std::stod(start_us)) << "a write after the window opened";
    EXPECT_EQ(field(run.out, "settings_at_open"),
              "trace_all_cpus=1 trace_enabled=1 trace_freerunning=0 trace_print_at_crash=0 "
              "trace_user_triggered=1 trace_verbose=0 preempt_max_latency=0 preempt_thresh=0 "
              "wakeup_timing=0 mcount_enabled=1");
}

TEST(VmCapture, RefusalsTouchNothing) {
    const std::pair<const char *, const char *> refusals[] = {
        {"notroot", "needs to run as root.\n"},
        {"setuid", "needs to run as root.\n"},
        {"nomodule", "CONFIG_LATENCY_TRACING not enabled?\n"},
        {"unreadable", "CONFIG_LATENCY_TRACING not enabled?\n"},
    };
    for (const auto &[name, message] : refusals) {
        SCOPED_TRACE(name);
        const case_result run = run_case(name);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(run.out, "");
    }
    // The ordinary users neither wrote a knob nor opened a window: the
    // report is as they found it.
    EXPECT_EQ(result_file("report-after-refusals"), result_file("full/report-after"));

    const std::vector<std::string> knobs = lines_of(result_file("nomodule/knobs"));
    ASSERT_FALSE(knobs.empty());
    for (const auto &knob : table) {
        EXPECT_EQ(std::count(knobs.begin(), knobs.end(), knob.first), 0) << knob.first;
    }
}

TEST(VmCapture, MissingKnobsAndReportAreReportedByShellAndCat) {
    const case_result quiet = run_case("nowakeup");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "") << "a diagnostic for the absent wakeup_timing";
    EXPECT_EQ(writes_of(quiet.out).size(), 9U);
    EXPECT_EQ(quiet.out.find("wakeup_timing"), std::string::npos);
    EXPECT_EQ(field(quiet.out, "window"), "closed");
    EXPECT_TRUE(by_some_vormek(field(quiet.out, "opened_by"))) << field(quiet.out, "opened_by");

    const case_result faults = run_case("faults");
    EXPECT_EQ(faults.status, 0);
    EXPECT_EQ(faults.out, "");
    const std::vector<std::string> diagnostics = lines_of(faults.err);
    ASSERT_EQ(diagnostics.size(), 3U) << faults.err;
    EXPECT_NE(diagnostics[0].find("/proc/sys/kernel/trace_freerunning"), std::string::npos);
    EXPECT_NE(diagnostics[1].find("/proc/sys/kernel/preempt_thresh"), std::string::npos);
    EXPECT_EQ(diagnostics[2], "cat: /proc/latency_trace: Permission denied");
}

TEST(VmCapture, ConcurrentUseAndCleanKernelLog) {
    for (const char *name : {"stress1", "stress2", "stress3"}) {
        SCOPED_TRACE(name);
        const case_result run = run_case(name);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(field(run.out, "window"), "closed");
        EXPECT_EQ(field(run.out, "opened_by"), field(run.out, "closed_by"));
    }
    // 300 writes by the writer and 30 by vormek: the log keeps 256 and counts the rest.
    EXPECT_EQ(field(result_file("stress-report-after"), "writes"), "256 logged, 74 lost");

    // Every kernel line since boot is the module's own (the kernel names
    // the module in its taint notes too); nothing else, no warning or oops.
    const std::vector<std::string> boot = lines_of(result_file("dmesg-boot"));
    const std::vector<std::string> all = lines_of(result_file("dmesg"));
    ASSERT_GT(all.size(), boot.size());
    int loads = 0;
    int unloads = 0;
    for (std::size_t i = boot.size(); i < all.size(); ++i) {
        const std::size_t text = all[i].find("] ");
        const std::string line = text == std::string::npos ? all[i] : all[i].substr(text + 2);
        EXPECT_EQ(line.rfind("vormek_standin: ", 0), 0U) << line;
        loads += line.rfind("vormek_standin: loaded:", 0) == 0 ? 1 : 0;
        unloads += line == "vormek_standin: unloaded" ? 1 : 0;
    }
    EXPECT_EQ(loads, 5);
    EXPECT_EQ(unloads, 5);
}

} // namespace
