// vormek and the tracer module on a real kernel: checks the results of the
// guest scenarios that one VM boot ran (the vm_boot:KERNEL test, a ctest
// fixture). ctest runs these tests once per kernel, with VM_RESULTS_DIR
// naming that kernel's results.
#include "file_io.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
// GCC 12 warns of an uninitialised std::function inside <regex> when it
// optimises with the sanitizers on: a false alarm in the library's code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string results() {
    const char *dir = std::getenv("VM_RESULTS_DIR");
    return dir != nullptr ? dir : "";
}

std::string result_file(const std::string &name) {
    return read_file(results() + "/" + name);
}

std::string trimmed(std::string text) {
    text.erase(text.find_last_not_of(" \n") + 1);
    text.erase(0, text.find_first_not_of(' '));
    return text;
}

struct case_result {
    std::string out, err;
    int status;
};

// The first line of a text, as "PID" from vm_window's output.
std::string first_line(const std::string &text) {
    return trimmed(text.substr(0, text.find('\n')));
}

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

// A report without its "# hooks:" line, which tells the state now.
std::string without_hooks(const std::string &report) {
    std::string text;
    for (const std::string &line : lines_of(report)) {
        text += line.rfind("# hooks: ", 0) == 0 ? "" : line + "\n";
    }
    return text;
}

// The value of a "# key: value" header line ("" where there is none).
std::string field(const std::string &report, const std::string &key) {
    for (const std::string &line : lines_of(report)) {
        if (line.rfind("# " + key + ": ", 0) == 0) {
            return line.substr(key.size() + 4);
        }
    }
    return "";
}

// The leading number of a header field, as in "# events: 12 kept, 3 lost".
double number(const std::string &report, const std::string &key, const std::string &after = "") {
    const std::string value = field(report, key);
    const std::size_t at = after.empty() ? 0 : value.find(after);
    return at == std::string::npos || value.empty() ? -1
                                                    : std::atof(value.c_str() + at + after.size());
}

// One event line, in ftrace's format: "TASK-PID [CPU] FLAGS SECONDS: BODY".
struct event {
    std::string task;
    int cpu;
    std::string flags;
    double at_us; // since the window opened
    std::string body;
};

// Times are since the window opened, or since boot with from_boot.
std::vector<event> events_of(const std::string &report, bool from_boot = false) {
    std::vector<event> events;
    const double start_us = from_boot ? 0 : number(report, "start_us");
    for (const std::string &line : lines_of(report)) {
        const std::size_t cpu = line.find(" [");
        const std::size_t body = line.find(": ", cpu);
        if (line.empty() || line[0] == '#' || cpu == std::string::npos ||
            body == std::string::npos) {
            continue;
        }
        const std::size_t time = line.rfind(' ', body);
        const std::size_t flags = line.find("] ", cpu) + 2;
        events.push_back({trimmed(line.substr(0, cpu)), std::atoi(line.c_str() + cpu + 2),
                          trimmed(line.substr(flags, time - flags)),
                          std::atof(line.c_str() + time + 1) * 1e6 - start_us,
                          line.substr(body + 2)});
    }
    return events;
}

bool has_event(const std::vector<event> &events, const std::string &task,
               const std::string &body_start) {
    return std::any_of(events.begin(), events.end(), [&](const event &e) {
        return (task.empty() || e.task == task) && e.body.rfind(body_start, 0) == 0;
    });
}

// The system calls a task entered in the window, in order, as "NAME (NR)"
// from "sys_enter: NR nr (args) NAME".
std::vector<std::string> calls_of(const std::vector<event> &events, const std::string &task) {
    std::vector<std::string> calls;
    for (const event &e : events) {
        if (e.task == task && e.body.rfind("sys_enter: NR ", 0) == 0) {
            calls.push_back(e.body.substr(e.body.rfind(' ') + 1) + " (" +
                            std::to_string(std::atol(e.body.c_str() + 14)) + ")");
        }
    }
    return calls;
}

const std::vector<std::pair<std::string, int>> table = {
    {"trace_all_cpus", 1},       {"trace_enabled", 1},        {"trace_freerunning", 0},
    {"trace_print_at_crash", 0}, {"trace_user_triggered", 1}, {"trace_verbose", 0},
    {"preempt_max_latency", 0},  {"preempt_thresh", 0},       {"wakeup_timing", 0},
    {"mcount_enabled", 1},
};

TEST(Vm, VormekCapturesAFunctionTraceOfItsWindow) {
    const case_result run = run_case("full");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    // As is, but for the hooks, which disarm_ms may have parked meanwhile.
    EXPECT_EQ(without_hooks(run.out), without_hooks(result_file("full/report-after")))
        << "report not passed through as is";
    EXPECT_EQ(field(result_file("report-before-window"), "window"), "none (no window was opened)");

    // The report names the kernel line the VM booted (results-KERNEL).
    const std::string kernel = results().substr(results().rfind("results-") + 8);
    const std::string release = field(run.out, "kernel");
    EXPECT_EQ(release.rfind(kernel.substr(0, kernel.find('-')) + ".", 0), 0U) << release;
    EXPECT_EQ(kernel.find("-rt") != std::string::npos, release.find("-rt-") != std::string::npos);

    const std::string vormek = "vormek-" + trimmed(result_file("full/pid"));
    EXPECT_EQ(field(run.out, "opened_by").rfind(vormek + " on cpu ", 0), 0U);
    EXPECT_EQ(field(run.out, "closed_by"), vormek);
    const double length_us = number(run.out, "length_us");
    EXPECT_GE(length_us, 100000.0);
    EXPECT_LT(length_us, 200000.0);
    // vormek set preempt_max_latency to 0 first (the scenario had set it far
    // higher), so its window was kept and the knob holds its length.
    EXPECT_EQ(std::stol(result_file("full/max-latency")), static_cast<long>(length_us));
    std::cout << kernel << ": window " << length_us << " us, " << field(run.out, "recorded") << "; "
              << field(run.out, "events") << "\n";

    // The sleep's path through the kernel, and vormek's only two system
    // calls in the window: the sleep and the end marker.
    const std::vector<event> events = events_of(run.out);
    for (const char *function : {"hrtimer_nanosleep", "do_nanosleep", "schedule"}) {
        EXPECT_TRUE(has_event(events, vormek, function)) << function;
    }
    EXPECT_EQ(calls_of(events, vormek),
              (std::vector<std::string>{"clock_nanosleep (230)", "gettimeofday (96)"}));
    EXPECT_TRUE(has_event(events, vormek, "sys_enter: NR 96 (0, 0, ")) << "end marker's arguments";
    EXPECT_TRUE(has_event(events, vormek, "do_nanosleep <-hrtimer_nanosleep"));
    EXPECT_TRUE(has_event(events, vormek, "sched_switch: prev_comm=vormek prev_pid="))
        << "vormek never slept";

    // The scenario's write of a high preempt_max_latency (by init), then the
    // ten writes, in order, each by its own shell, before the window.
    std::vector<std::string> writes;
    std::set<std::string> writers;
    double last_write_us = 0;
    for (const std::string &line : lines_of(run.out)) {
        char knob[64] = {};
        char by[64] = {};
        int index = 0;
        int value = 0;
        if (std::sscanf(line.c_str(), "# write %d: %63[a-z_]=%d by %63s at_us %lf", &index, knob,
                        &value, by, &last_write_us) == 5) {
            writes.push_back(std::string(knob) + "=" + std::to_string(value));
            if (index > 1) {
                writers.insert(by);
                EXPECT_EQ(std::string(by).rfind("sh-", 0), 0U) << line;
            }
        }
    }
    std::vector<std::string> expected{"preempt_max_latency=2000000000"};
    expected.reserve(table.size() + 1);
    for (const auto &[knob, value] : table) {
        expected.push_back(knob + "=" + std::to_string(value));
    }
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(writers.size(), table.size());
    EXPECT_LT(last_write_us, number(run.out, "start_us")) << "a write after the window opened";
    EXPECT_EQ(field(run.out, "settings"),
              "trace_all_cpus=1 trace_enabled=1 trace_freerunning=0 trace_print_at_crash=0 "
              "trace_user_triggered=1 trace_verbose=0 preempt_max_latency=0 preempt_thresh=0 "
              "wakeup_timing=0 mcount_enabled=1");
}

// A second after the last window the wide hooks are gone; the next start
// marker puts them back before its window opens. An opener's exit closes
// its window.
TEST(Vm, HooksFollowWindowsAndAnOpenersExitClosesIt) {
    const std::string parked = result_file("parked/report");
    EXPECT_EQ(field(parked, "hooks"), "functions=0 events=0 wakeups=0 parked=1");
    EXPECT_EQ(lines_of(result_file("parked/knobs")), (std::vector<std::string>{"1", "1", "1"}));
    const std::vector<std::string> patched = lines_of(result_file("parked/enabled_functions"));
    ASSERT_EQ(patched.size(), 1U) << "functions still patched";
    EXPECT_EQ(patched[0].rfind("__x64_sys_gettimeofday ", 0), 0U) << patched[0];

    const case_result rearmed = run_case("rearmed");
    const std::string report = result_file("rearmed/report");
    const std::string task = "vm_window-" + first_line(rearmed.out);
    EXPECT_EQ(field(report, "opened_by").rfind(task + " on cpu ", 0), 0U);
    EXPECT_EQ(field(report, "closed_by"), task);
    const std::vector<event> events = events_of(report);
    EXPECT_EQ(calls_of(events, task),
              (std::vector<std::string>{"clock_nanosleep (230)", "gettimeofday (96)"}));
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

TEST(Vm, RefusalsTouchNothing) {
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
    // The same report but for the hooks, which may be going meanwhile.
    EXPECT_EQ(without_hooks(result_file("report-after-refusals")),
              without_hooks(result_file("full/report-after")));
    const std::vector<std::string> knobs = lines_of(result_file("nomodule/knobs"));
    ASSERT_FALSE(knobs.empty());
    for (const auto &knob : table) {
        EXPECT_EQ(std::count(knobs.begin(), knobs.end(), knob.first), 0) << knob.first;
    }
}

TEST(Vm, MissingKnobsAndReportAreReportedByShellAndCat) {
    const case_result quiet = run_case("nowakeup");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "") << "a diagnostic for the absent wakeup_timing";
    EXPECT_EQ(field(quiet.out, "writes"), "9 logged, 0 lost");
    EXPECT_EQ(field(quiet.out, "window"), "closed");

    const case_result faults = run_case("faults");
    EXPECT_EQ(faults.status, 0);
    EXPECT_EQ(faults.out, "");
    const std::vector<std::string> diagnostics = lines_of(faults.err);
    ASSERT_EQ(diagnostics.size(), 3U) << faults.err;
    EXPECT_NE(diagnostics[0].find("/proc/sys/kernel/trace_freerunning"), std::string::npos);
    EXPECT_NE(diagnostics[1].find("/proc/sys/kernel/preempt_thresh"), std::string::npos);
    EXPECT_EQ(diagnostics[2], "cat: /proc/latency_trace: Permission denied");
}

// Each knob case ran a 20 ms window (vm_window) with one knob changed.
struct knob_case {
    std::string out, report;
    std::vector<event> events;
    std::string task; // "vm_window-PID"
    bool opened;      // the report shows this case's window
};

knob_case knob_run(const std::string &name) {
    knob_case c{run_case(name).out, result_file(name + "/report"), {}, "", false};
    c.events = events_of(c.report);
    c.task = "vm_window-" + first_line(c.out);
    c.opened = field(c.report, "opened_by").rfind(c.task + " on cpu ", 0) == 0;
    return c;
}

// The CPU of "# opened_by: TASK-PID on cpu N".
int opened_cpu(const std::string &report) {
    const std::string opened = field(report, "opened_by");
    return std::atoi(opened.c_str() + opened.rfind(' ') + 1);
}

std::set<int> cpus_of(const std::vector<event> &events) {
    std::set<int> cpus;
    for (const event &e : events) {
        cpus.insert(e.cpu);
    }
    return cpus;
}

TEST(Vm, EachKnobDoesWhatItsNameSays) {
    const knob_case base = knob_run("base");
    ASSERT_TRUE(base.opened) << base.report.substr(0, 600);
    EXPECT_GT(number(base.report, "recorded"), 0) << "no function entries";
    EXPECT_GE(cpus_of(base.events).size(), 2U) << "trace_all_cpus=1 recorded one CPU";
    EXPECT_FALSE(has_event(base.events, "", "sched_waking"));
    EXPECT_EQ(base.report.find("[ffffffff"), std::string::npos) << "raw addresses when compact";
    EXPECT_EQ(std::stol(result_file("base/max-latency")),
              static_cast<long>(number(base.report, "length_us")));

    // trace_enabled=0 and trace_user_triggered=0: the markers opened nothing.
    EXPECT_FALSE(knob_run("disabled").opened);
    EXPECT_FALSE(knob_run("untriggered").opened);

    const knob_case nofunctions = knob_run("nofunctions");
    ASSERT_TRUE(nofunctions.opened);
    EXPECT_EQ(number(nofunctions.report, "recorded"), 0);
    EXPECT_TRUE(has_event(nofunctions.events, nofunctions.task, "sys_enter: NR 230 "));

    const knob_case onecpu = knob_run("onecpu");
    ASSERT_TRUE(onecpu.opened);
    EXPECT_EQ(cpus_of(onecpu.events), std::set<int>{opened_cpu(onecpu.report)});

    const knob_case verbose = knob_run("verbose");
    ASSERT_TRUE(verbose.opened);
    EXPECT_TRUE(std::all_of(verbose.events.begin(), verbose.events.end(), [](const event &e) {
        return e.body.size() > 13 && e.body.compare(e.body.size() - 13, 5, " ctx=") == 0;
    })) << "a line without its raw preempt count";
    EXPECT_NE(verbose.report.find("[ffffffff"), std::string::npos);

    const knob_case wakeups = knob_run("wakeups");
    ASSERT_TRUE(wakeups.opened);
    const std::string woken = "comm=vm_window pid=" + first_line(wakeups.out) + " prio=120 ";
    EXPECT_TRUE(has_event(wakeups.events, "", "sched_waking: " + woken));
    EXPECT_TRUE(
        has_event(wakeups.events, wakeups.task, "wakeup_latency: " + woken + "latency_us="));

    EXPECT_EQ(trimmed(result_file("max-latency-reset")), "0");
    const knob_case thresh = knob_run("thresh");
    EXPECT_FALSE(thresh.opened) << "a window under preempt_thresh was kept";
    EXPECT_EQ(field(thresh.report, "opened_by"), field(wakeups.report, "opened_by"));
    EXPECT_EQ(field(thresh.report, "dropped_windows"),
              "1 (0 not longer than preempt_max_latency, 1 shorter than preempt_thresh)");

    // A 64-event buffer: stopping keeps the start, overwriting the end
    // of the window (an interrupt at the end marker may fill the last 64
    // slots, so the end is told by time, not by the marker's system call).
    const knob_case stopping = knob_run("stopping");
    const knob_case overwriting = knob_run("overwriting");
    for (const knob_case *c : {&stopping, &overwriting}) {
        ASSERT_TRUE(c->opened);
        EXPECT_GT(number(c->report, "events", "kept, "), 0) << "nothing lost";
    }
    EXPECT_NE(field(stopping.report, "events").find("recording stopped"), std::string::npos);
    EXPECT_FALSE(has_event(stopping.events, stopping.task, "sys_enter: gettimeofday"));
    EXPECT_NE(field(overwriting.report, "events").find("overwritten"), std::string::npos);
    // The latest event, on the CPU the window opened on (-1: any CPU); an
    // idle CPU may record its few events late in a stopped window.
    const auto latest = [](const knob_case &c, int cpu) {
        double at = -1;
        for (const event &e : c.events) {
            at = cpu < 0 || e.cpu == cpu ? std::max(at, e.at_us) : at;
        }
        return at;
    };
    EXPECT_LT(latest(stopping, opened_cpu(stopping.report)),
              number(stopping.report, "length_us") / 2);
    EXPECT_GT(latest(overwriting, -1), number(overwriting.report, "length_us") - 1000);
}

// The kernel's function tracer on the markers' system call and the sleep,
// while the tracer's own hooks trace the window: each sees the window.
TEST(Vm, KernelFunctionTracerBesideAWindow) {
    const case_result run = run_case("ftrace-beside");
    EXPECT_EQ(run.status, 0);
    const std::string task = "vm_window-" + first_line(run.out);
    const std::string report = result_file("ftrace-beside/report");
    EXPECT_EQ(field(report, "window"), "closed");
    EXPECT_EQ(field(report, "closed_by"), task);
    EXPECT_TRUE(has_event(events_of(report), task, "do_nanosleep"));
    int markers = 0;
    int sleeps = 0;
    for (const std::string &line : lines_of(result_file("ftrace-beside/ftrace"))) {
        if (line.rfind('#', 0) != 0 && trimmed(line).rfind(task + " ", 0) == 0) {
            markers += line.find(": __x64_sys_gettimeofday <-") != std::string::npos ? 1 : 0;
            sleeps += line.find(": __x64_sys_clock_nanosleep <-") != std::string::npos ? 1 : 0;
        }
    }
    EXPECT_EQ(markers, 2) << result_file("ftrace-beside/ftrace");
    EXPECT_EQ(sleeps, 1);
}

// Windows of 100, 5 and 400 ms with preempt_thresh 0, then of 5 and 100 ms
// with preempt_thresh 50000: the window each report shows, what
// preempt_max_latency then holds, what was dropped, and whether a poller of
// the knob was told of a new maximum.
TEST(Vm, TheWorstWindowIsKeptByFtracesRules) {
    struct step {
        const char *name, *shown;
        int not_longer, shorter; // dropped so far; the knob case "thresh" was 1
        bool told;
    };
    const step steps[] = {
        {"keep-100", "keep-100", 0, 1, true},     {"keep-5", "keep-100", 1, 1, false},
        {"keep-400", "keep-400", 1, 1, true},     {"thresh-5", "keep-400", 1, 2, false},
        {"thresh-100", "thresh-100", 1, 2, true},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.name);
        const std::string name = s.name;
        const std::string report = result_file(name + "/report");
        EXPECT_EQ(field(report, "closed_by"), "vm_window-" + first_line(run_case(s.shown).out));
        const std::string max = trimmed(result_file(name + "/max-latency"));
        EXPECT_EQ(max, std::to_string(static_cast<long>(number(report, "length_us"))));
        EXPECT_EQ(field(report, "latency").rfind(max + " us, #", 0), 0U);
        EXPECT_EQ(field(report, "dropped_windows"),
                  std::to_string(s.not_longer + s.shorter) + " (" + std::to_string(s.not_longer) +
                      " not longer than preempt_max_latency, " + std::to_string(s.shorter) +
                      " shorter than preempt_thresh)");
        EXPECT_EQ(result_file(name + "/poll"),
                  s.told ? "polling\nevent " + max + "\n" : "polling\ntimeout\n");
    }
    // With a threshold the kept window sets the knob, though shorter.
    EXPECT_LT(std::stol(result_file("thresh-100/max-latency")),
              std::stol(result_file("keep-400/max-latency")));
}

// One process opens a window and another closes it; a third's ordinary
// gettimeofday(&tv, NULL) in between is recorded but is no marker.
TEST(Vm, AnotherProcessClosesTheWindowAndOrdinaryCallsDoNot) {
    const std::string report = result_file("handover/report");
    const std::string opener = "vm_window-" + first_line(result_file("handover/opener"));
    const std::string ordinary = "vm_window-" + first_line(result_file("handover/ordinary"));
    const std::string closer = "vm_window-" + first_line(result_file("handover/closer"));
    EXPECT_EQ(trimmed(result_file("handover/ordinary-status")), "0");
    EXPECT_EQ(field(report, "opened_by").rfind(opener + " on cpu ", 0), 0U)
        << report.substr(0, 900);
    EXPECT_EQ(field(report, "closed_by"), closer);
    const std::vector<event> events = events_of(report);
    const std::vector<std::string> calls = calls_of(events, ordinary);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "gettimeofday (96)"), calls.end());
    EXPECT_FALSE(has_event(events, ordinary, "sys_enter: NR 96 (0, ")) << "no time value";
    EXPECT_TRUE(has_event(events, closer, "sys_enter: NR 96 (0, 0, "));
}

// Every switch and waking line of the reports reads as Perfetto's text
// importer reads ftrace's: its line expression with a flags column, and the
// kernel events' keys in order, naming the line's own task.
TEST(Vm, ReportsReadAsFtraceText) {
    const std::regex line_form(R"(-(\d+)\s+\(?\s*(\d+|-+)?\)?\s?\[(\d+)\]\s*)"
                               R"(([a-zA-Z.]{3}[0-9a-f.]{1,2}\s*)?(\d+\.\d+):\s+(\S+):)");
    const std::regex switch_keys(R"(prev_comm=(\S+) prev_pid=(\d+) prev_prio=\d+ )"
                                 R"(prev_state=(R\+?|[SDTtXZPI](\|[SDTtXZPI])*\+?) ==> )"
                                 R"(next_comm=\S+ next_pid=\d+ next_prio=\d+( ctx=[0-9a-f]{8})?)");
    const std::regex waking_keys(
        R"(comm=\S+ pid=\d+ prio=\d+ target_cpu=(\d{3})( ctx=[0-9a-f]{8})?)");
    int seen[2] = {0, 0};
    for (const char *name : {"full/stdout", "base/report", "verbose/report", "wakeups/report",
                             "preempted/report", "handover/report", "stress1/stdout"}) {
        SCOPED_TRACE(name);
        const std::string report = result_file(name);
        EXPECT_EQ(report.find("# tracer: vormek_tracer\n"), 0U);
        for (const std::string &line : lines_of(report)) {
            const bool waking = line.find(" sched_waking: ") != std::string::npos;
            std::smatch m;
            if (line.empty() || line[0] == '#' ||
                (!waking && line.find(" sched_switch: ") == std::string::npos)) {
                continue;
            }
            ++seen[waking ? 1 : 0];
            ASSERT_TRUE(std::regex_search(line, m, line_form)) << line;
            EXPECT_TRUE(m[4].matched) << "no flags column: " << line;
            EXPECT_EQ(m[6].str(), waking ? "sched_waking" : "sched_switch") << line;
            const std::string keys = m.suffix().str().substr(1);
            std::smatch k;
            ASSERT_TRUE(std::regex_match(keys, k, waking ? waking_keys : switch_keys)) << line;
            if (!waking) {
                EXPECT_EQ(k[1].str() + "-" + k[2].str(), trimmed(line.substr(0, line.find(" ["))));
            }
        }
    }
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
}

// The fields hold what happened: times since boot on ftrace's clock, merged
// across CPUs; a task preempted in the kernel shows R+; a waking's target is
// the CPU its task last ran on.
TEST(Vm, EventFieldsSayWhatHappened) {
    const knob_case base = knob_run("base");
    ASSERT_GE(cpus_of(base.events).size(), 2U);
    const double length_us = number(base.report, "length_us");
    double back_us = 0;
    for (std::size_t i = 0; i < base.events.size(); ++i) {
        EXPECT_GT(base.events[i].at_us, -1000) << base.events[i].body;
        EXPECT_LT(base.events[i].at_us, length_us + 1000) << base.events[i].body;
        back_us = i == 0 ? 0 : std::max(back_us, base.events[i - 1].at_us - base.events[i].at_us);
        // The scheduler switches with interrupts off.
        if (base.events[i].body.rfind("sched_switch: ", 0) == 0) {
            EXPECT_EQ(base.events[i].flags.size(), 5U) << base.events[i].body;
            EXPECT_EQ(base.events[i].flags[0], 'd') << base.events[i].body;
        }
    }
    // An interrupt that nests between a slot's claim and its time stamp
    // steps back by its own length; the CPUs' events one after the other
    // would step back by most of the window.
    EXPECT_LT(back_us, 1000) << "lines not merged by time";

    // The kernel's function tracer, on the same clock, saw the window's sleep
    // inside the window.
    const std::string beside = result_file("ftrace-beside/report");
    const std::string sleeper = "vm_window-" + first_line(run_case("ftrace-beside").out);
    int inside = 0;
    for (const event &e : events_of(result_file("ftrace-beside/ftrace"), true)) {
        if (e.task == sleeper && e.body.rfind("__x64_sys_clock_nanosleep <-", 0) == 0) {
            EXPECT_GT(e.at_us, number(beside, "start_us"));
            EXPECT_LT(e.at_us, number(beside, "end_us"));
            ++inside;
        }
    }
    EXPECT_EQ(inside, 1);

    // dd, more of them than CPUs, never sleeps: it is preempted, mostly in
    // the kernel (R+), at times on its way back to user space (R).
    int preempted = 0;
    for (const event &e : knob_run("preempted").events) {
        if (e.task.rfind("dd-", 0) == 0 && e.body.rfind("sched_switch: ", 0) == 0) {
            EXPECT_EQ(e.body.find(" prev_state=S "), std::string::npos) << e.body;
            preempted += e.body.find(" prev_state=R+ ") != std::string::npos ? 1 : 0;
        }
    }
    EXPECT_GT(preempted, 0) << "no preempted switch";

    // Each waking's target: the CPU its task last ran on, as its latest
    // switch onto or off a CPU says.
    const std::vector<event> wakeups = knob_run("wakeups").events;
    int checked = 0;
    int elsewhere = 0;
    for (std::size_t i = 0; i < wakeups.size(); ++i) {
        int pid = 0;
        int target = -1;
        if (std::sscanf(wakeups[i].body.c_str(),
                        "sched_waking: comm=%*s pid=%d prio=%*d target_cpu=%d", &pid,
                        &target) != 2) {
            continue;
        }
        const std::string onto = " next_pid=" + std::to_string(pid) + " ";
        const std::string off = " prev_pid=" + std::to_string(pid) + " ";
        for (std::size_t j = i; j-- > 0;) {
            if (wakeups[j].body.rfind("sched_switch: ", 0) == 0 &&
                (wakeups[j].body.find(onto) != std::string::npos ||
                 wakeups[j].body.find(off) != std::string::npos)) {
                EXPECT_EQ(target, wakeups[j].cpu) << wakeups[i].body;
                ++checked;
                elsewhere += target != 0 ? 1 : 0;
                break;
            }
        }
    }
    EXPECT_GT(elsewhere, 0) << checked << " wakings checked, none onto another CPU than 0";
}

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

    // The storm's markers, knob writes and re-arms left vormek working.
    const case_result storm = run_case("storm");
    EXPECT_EQ(storm.status, 0);
    EXPECT_EQ(storm.err, "");
    EXPECT_EQ(field(storm.out, "closed_by").rfind("vormek-", 0), 0U) << storm.out.substr(0, 600);

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
    EXPECT_NE(console.find("opened_by: vm_window-" + first_line(run_case("crash").out), trace),
              std::string::npos);
    EXPECT_NE(console.find("Kernel panic"), std::string::npos);
}

} // namespace
