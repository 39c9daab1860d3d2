// Faults around the tool rather than in the tracer: where its output goes,
// signals, a very large report, and a shell that cannot run. In each, the
// outcome is fixed and no process of the run is left behind.
#include "strace_log.hpp"
#include "tool_run.hpp"

#include <csignal>
#include <gtest/gtest.h>

namespace {

const std::string refusal = "CONFIG_LATENCY_TRACING not enabled?\n";

class Faults : public ::testing::Test {
  protected:
    void TearDown() override { remove_fake_proc(proc); }
    fake_proc proc = make_fake_proc(std::string(std::size_t{256} * 1024, 'r'));
};

TEST_F(Faults, ClosedStdoutOnlyLosesTheReport) {
    run_options options;
    options.out = stdout_kind::closed;
    const run_result result = run_tool(proc, options);
    SKIP_IF_NO_NAMESPACE(result);
    // The capture still runs to its end; cat, finding no usable standard
    // output, says so, and the status stays 0 as for any failed dump.
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err.rfind("cat: ", 0), 0U) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(read_knob(proc, "mcount_enabled"), "1\n");
    const strace_log log = read_strace_log(result.trace_path);
    EXPECT_EQ(count_lines(log, log.root_pid, "gettimeofday("), 2);
    EXPECT_FALSE(result.left_behind);
}

TEST_F(Faults, ReaderThatGoesAwayEndsTheDumpQuietly) {
    const std::string report = std::string(std::size_t{4} * 1024 * 1024, 'x');
    write_file(proc.root + "/proc/latency_trace", report);
    run_options options;
    options.out = stdout_kind::broken_pipe;
    options.pipe_bytes = 10;
    options.trace = false;
    const run_result result = run_tool(proc, options);
    SKIP_IF_NO_NAMESPACE(result);
    // cat dies of SIGPIPE; the tool, which writes nothing itself, ends with 0.
    EXPECT_EQ(result.out, report.substr(0, 10));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(result.left_behind);
}

TEST_F(Faults, SignalInsideTheWindowEndsTheToolByThatSignal) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        write_knob(proc, "mcount_enabled", untouched_knob);
        run_options options;
        options.trace = false;
        options.signal_in_window = signal;
        const run_result result = run_tool(proc, options);
        SKIP_IF_NO_NAMESPACE(result);
        EXPECT_TRUE(result.signal_sent);
        EXPECT_EQ(result.status, 128 + signal);
        EXPECT_EQ(result.out, "") << "the report was dumped after the signal";
        EXPECT_EQ(result.err, "");
        EXPECT_FALSE(result.left_behind);
    }
}

TEST_F(Faults, HundredMegabyteReportPassesByteForByte) {
    std::string report(std::size_t{100} * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < report.size(); ++i) {
        report[i] = static_cast<char>((i * 2654435761U) >> 13);
    }
    write_file(proc.root + "/proc/latency_trace", report);
    run_options options;
    options.trace = false;
    const run_result result = run_tool(proc, options);
    SKIP_IF_NO_NAMESPACE(result);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(result.out.size(), report.size());
    EXPECT_TRUE(result.out == report) << "the report changed on its way through";
    EXPECT_FALSE(result.left_behind);
}

TEST_F(Faults, UnusableShellFailsTheProbe) {
    run_options options;
    options.no_shell = true;
    const run_result result = run_tool(proc, options);
    SKIP_IF_NO_NAMESPACE(result);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, refusal);
    EXPECT_EQ(result.out, "");
    const strace_log log = read_strace_log(result.trace_path);
    // One attempt to start the shell for the probe, and nothing after it.
    EXPECT_EQ(shell_runs(log).size(), 1U);
    EXPECT_EQ(count_lines(log, log.root_pid, "gettimeofday("), 0);
    for (const knob_value &knob : expected_knobs) {
        EXPECT_EQ(read_knob(proc, knob.knob), untouched_knob) << knob.knob;
    }
    EXPECT_FALSE(result.left_behind);
}

} // namespace
