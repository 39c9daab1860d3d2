// The tool observed at the system-call level (strace -f) while it runs
// against the user-space stand-in's /proc.
#include "strace_log.hpp"
#include "tool_run.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const char *const probe_command = "cat /proc/sys/kernel/mcount_enabled >/dev/null 2>/dev/null";
const char *const dump_command = "cat /proc/latency_trace";
const std::vector<std::string> settings_commands = {
    "echo 1 > /proc/sys/kernel/trace_all_cpus",
    "echo 1 > /proc/sys/kernel/trace_enabled",
    "echo 0 > /proc/sys/kernel/trace_freerunning",
    "echo 0 > /proc/sys/kernel/trace_print_at_crash",
    "echo 1 > /proc/sys/kernel/trace_user_triggered",
    "echo 0 > /proc/sys/kernel/trace_verbose",
    "echo 0 > /proc/sys/kernel/preempt_max_latency",
    "echo 0 > /proc/sys/kernel/preempt_thresh",
    "[ -e /proc/sys/kernel/wakeup_timing ] && echo 0 > /proc/sys/kernel/wakeup_timing",
    "echo 1 > /proc/sys/kernel/mcount_enabled",
};
const char *const start_marker = "gettimeofday(NULL, 0x1)";
const char *const end_marker = "gettimeofday(NULL, NULL)";

std::vector<std::string> full_run_commands() {
    std::vector<std::string> commands = {probe_command};
    commands.insert(commands.end(), settings_commands.begin(), settings_commands.end());
    commands.emplace_back(dump_command);
    return commands;
}

// Several megabytes of every byte value, NULs included, in no simple pattern.
std::string binary_report() {
    std::string report(5 * 1024 * 1024 + 17, '\0');
    unsigned state = 12345;
    for (char &byte : report) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<char>((state >> 16) % 3 == 0 ? 0 : state >> 23);
    }
    return report;
}

std::vector<std::string> commands_of(const strace_log &log) {
    std::vector<std::string> commands;
    for (const shell_run &run : shell_runs(log)) {
        commands.push_back(run.command);
    }
    return commands;
}

// Each shell run is a child of the tool, started only after the previous
// one has ended.
void expect_one_child_at_a_time(const strace_log &log, std::size_t expected_children) {
    const std::vector<int> children = children_of(log, log.root_pid);
    ASSERT_EQ(children.size(), expected_children);
    const std::vector<shell_run> runs = shell_runs(log);
    ASSERT_EQ(runs.size(), expected_children);
    for (std::size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(runs[i].pid, children[i]) << "shell run " << i << " is not the tool's child";
        ASSERT_GE(exit_line_of(log, children[i]), 0) << "child " << i << " never ended";
        if (i > 0) {
            EXPECT_LT(exit_line_of(log, children[i - 1]), first_line_of(log, children[i]))
                << "child " << i << " started before child " << i - 1 << " ended";
        }
    }
}

// Everything a completed capture must show.
void expect_full_capture(const fake_proc &proc, const run_result &result,
                         const std::string &report) {
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == report) << "report differs: " << result.out.size() << " bytes out, "
                                      << report.size() << " expected";

    const strace_log log = read_strace_log(result.trace_path);
    EXPECT_EQ(commands_of(log), full_run_commands());
    expect_one_child_at_a_time(log, 12);

    const int pid = log.root_pid;
    EXPECT_EQ(count_lines(log, pid, "gettimeofday("), 2);
    const int start = find_line(log, pid, start_marker);
    const int end = find_line(log, pid, end_marker);
    ASSERT_GE(start, 0) << "no start marker reached the kernel";
    ASSERT_GT(end, start) << "no end marker after the start marker";

    // Inside the window: the sleep, and nothing else from any process.
    EXPECT_EQ(calls_between(log, pid, start, end),
              std::vector<std::string>{"clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=0, "
                                       "tv_nsec=100000000}, NULL) = 0"});
    for (int i = start + 1; i < end; ++i) {
        EXPECT_EQ(log.lines[i].pid, pid) << "another process inside the window";
    }

    const std::vector<int> children = children_of(log, pid);
    ASSERT_EQ(children.size(), 12U);
    EXPECT_LT(exit_line_of(log, children[10]), start) << "settings not finished before the window";
    EXPECT_GT(first_line_of(log, children[11]), end) << "dump started before the window closed";

    for (const knob_value &knob : expected_knobs) {
        EXPECT_EQ(read_knob(proc, knob.knob), std::string(knob.digit) + "\n") << knob.knob;
    }
}

// A refusal: the message alone, status 1, and the tracer untouched.
void expect_refusal(const fake_proc &proc, const run_result &result, const std::string &message,
                    const std::vector<std::string> &commands) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, message);
    EXPECT_EQ(result.out, "");
    const strace_log log = read_strace_log(result.trace_path);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(commands_of(log), commands);
    EXPECT_EQ(children_of(log, log.root_pid).size(), commands.size());
    EXPECT_EQ(count_lines(log, log.root_pid, "gettimeofday("), 0) << "a marker was issued";
    for (const knob_value &knob : expected_knobs) {
        const std::string now = read_knob(proc, knob.knob);
        EXPECT_TRUE(now == untouched_knob || now == "<missing>") << knob.knob << " was written";
    }
}

class Capture : public ::testing::Test {
  protected:
    void TearDown() override { remove_fake_proc(proc); }

    std::string report = "latency trace report\n";
    fake_proc proc = make_fake_proc(report);
};

#define RUN_OR_SKIP(result, options)                                                               \
    const run_result result = run_tool(proc, options);                                             \
    SKIP_IF_NO_NAMESPACE(result)

TEST_F(Capture, FullRunWritesSettingsMarksWindowAndPassesReportThrough) {
    report = binary_report();
    write_file(proc.root + "/proc/latency_trace", report);
    RUN_OR_SKIP(result, run_options{});
    expect_full_capture(proc, result, report);
}

TEST_F(Capture, ArgumentsChangeNothing) {
    run_options options;
    options.args = {"--help", "-v", "", "extra words", "%s%n"};
    RUN_OR_SKIP(result, options);
    expect_full_capture(proc, result, report);
}

TEST_F(Capture, CallerWhoIsNotRootIsRefusedBeforeAnything) {
    if (geteuid() != 0) {
        SKIP_UNLESS_CI("needs root to run the tool as another user");
    }
    // Copies in the scenario's own folder, which any user can reach (the
    // build tree may not be: under /root, say).
    const auto copy_tool = [this](const std::string &name, unsigned mode) {
        std::string copy = proc.root + "/" + name;
        std::filesystem::copy_file(vormek_binary, copy);
        EXPECT_EQ(chown(copy.c_str(), 0, 0), 0);
        EXPECT_EQ(chmod(copy.c_str(), mode), 0);
        return copy;
    };
    run_options plain;
    plain.user = "nobody";
    plain.program = copy_tool("vormek", 0755);
    RUN_OR_SKIP(refused, plain);
    expect_refusal(proc, refused, "needs to run as root.\n", {});

    // A set-user-ID root copy started by an ordinary user: effective ID 0,
    // real ID not.
    run_options setuid_launch = plain;
    setuid_launch.program = copy_tool("vormek-setuid", 04755);
    RUN_OR_SKIP(setuid_refused, setuid_launch);
    expect_refusal(proc, setuid_refused, "needs to run as root.\n", {});
}

TEST_F(Capture, KernelWithoutTracerIsRefusedAfterProbeAlone) {
    const std::string message = "CONFIG_LATENCY_TRACING not enabled?\n";
    {
        SCOPED_TRACE("no cat on PATH");
        run_options options;
        options.path_env = "/nonexistent";
        RUN_OR_SKIP(result, options);
        expect_refusal(proc, result, message, {probe_command});
    }
    {
        SCOPED_TRACE("mcount_enabled present but unreadable");
        chmod_knob(proc, "mcount_enabled", 0200);
        run_options options;
        options.no_dac = true;
        RUN_OR_SKIP(result, options);
        chmod_knob(proc, "mcount_enabled", 0644); // so that a test run without root can check it
        expect_refusal(proc, result, message, {probe_command});
    }
    {
        SCOPED_TRACE("no mcount_enabled");
        remove_knob(proc, "mcount_enabled");
        RUN_OR_SKIP(result, run_options{});
        expect_refusal(proc, result, message, {probe_command});
    }
}

TEST_F(Capture, FailingSettingsStillCaptureAndReportThroughShellDiagnostics) {
    remove_knob(proc, "trace_all_cpus");
    remove_knob(proc, "trace_verbose");
    remove_knob(proc, "wakeup_timing");
    write_knob(proc, "mcount_enabled", ""); // empty, yet readable: passes the probe
    RUN_OR_SKIP(result, run_options{});

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, report);
    const strace_log log = read_strace_log(result.trace_path);
    EXPECT_EQ(commands_of(log), full_run_commands());
    expect_one_child_at_a_time(log, 12);
    EXPECT_GE(find_line(log, log.root_pid, start_marker), 0);
    EXPECT_GE(find_line(log, log.root_pid, end_marker), 0);

    // One diagnostic line for each missing unconditional knob, in order, and
    // none for wakeup_timing.
    const std::size_t first = result.err.find("/proc/sys/kernel/trace_all_cpus");
    const std::size_t second = result.err.find("/proc/sys/kernel/trace_verbose");
    EXPECT_NE(first, std::string::npos) << result.err;
    EXPECT_NE(second, std::string::npos) << result.err;
    EXPECT_LT(first, second);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    EXPECT_EQ(result.err.find("wakeup_timing"), std::string::npos) << result.err;

    EXPECT_EQ(read_knob(proc, "trace_all_cpus"), "<missing>") << "the shell created a knob";
    EXPECT_EQ(read_knob(proc, "wakeup_timing"), "<missing>") << "the shell created a knob";
    EXPECT_EQ(read_knob(proc, "trace_enabled"), "1\n");
    EXPECT_EQ(read_knob(proc, "mcount_enabled"), "1\n");
}

TEST_F(Capture, ReportThatCannotBeReadStillEndsWithStatusZero) {
    {
        SCOPED_TRACE("no /proc/latency_trace");
        remove_report(proc);
        RUN_OR_SKIP(result, run_options{});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "cat: /proc/latency_trace: No such file or directory\n");
    }
    {
        SCOPED_TRACE("/proc/latency_trace unreadable");
        write_file(proc.root + "/proc/latency_trace", report);
        chmod_report(proc, 0);
        run_options options;
        options.no_dac = true;
        RUN_OR_SKIP(result, options);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "cat: /proc/latency_trace: Permission denied\n");
    }
}

} // namespace
