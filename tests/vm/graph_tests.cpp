// The window's calls on a real kernel: latency_graph against the kernel's
// own function_graph tracer on the same system calls, and what Perfetto's
// importer makes of latency_slices and latency_trace.
#include "file_io.hpp"
#include "report_parser.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <set>

namespace {

// One call in function_graph's text (abstime, cpu, proc and duration
// columns), the kernel's or the tracer's.
struct call {
    std::string name;
    double at_us, dur_us; // dur_us -1: none shown (open at the window's end)
    int depth, parent;    // parent: index, or -1
    int children;
    bool interrupt; // between "==========>" and "<==========" on its CPU
    int cpu;
};

// From when to when (us) the tracer saw a task switched out: from its
// switch probe to the switch back in.
using spans = std::vector<std::pair<double, double>>;

// A task's calls in entry order. Interrupt-side calls nest on their own.
// The tracer's graph tells when the task was switched out (`away`, filled
// here); the calls it shows the task make after that, before the switch
// itself, are not its own. function_graph's pid filter follows a switch
// from its own probe on, so that the calls of probes before it (a lock on
// the RT kernels) show as the task's: its calls while the tracer saw the
// task away are left out (`away` as the tracer's graph filled it).
std::vector<call> calls_in(const std::string &text, int pid, spans &away,
                           bool function_graph = false) {
    std::vector<call> calls;
    std::map<int, bool> in_interrupt;
    std::map<int, std::vector<int>> open; // 0: the task's stack; CPU + 1: interrupts
    bool switched_out = false;
    const std::string prev = " prev_pid=" + std::to_string(pid) + " ";
    const std::string next = " next_pid=" + std::to_string(pid) + " ";
    for (const std::string &line : lines_of(text)) {
        const std::size_t cpu_at = line.find(" | ");
        const std::size_t proc_at = line.find(") ", cpu_at);
        const std::size_t rest_at = line.find(" | ", proc_at);
        if (line.empty() || line[0] == '#' || rest_at == std::string::npos) {
            continue;
        }
        const int cpu = std::atoi(line.c_str() + cpu_at + 3);
        const std::string proc = trimmed(line.substr(proc_at + 2, rest_at - proc_at - 2));
        const std::string rest = line.substr(rest_at + 3);
        if (rest.rfind("==========>", 0) == 0 || rest.rfind("<==========", 0) == 0) {
            in_interrupt[cpu] = rest[0] == '=';
            continue;
        }
        if (!function_graph && rest.find("/* sched_switch: ") != std::string::npos) {
            const bool was = switched_out;
            switched_out = rest.find(prev) != std::string::npos ||
                           (switched_out && rest.find(next) == std::string::npos);
            if (switched_out && !was) {
                away.emplace_back(std::atof(line.c_str()) * 1e6, HUGE_VAL);
            } else if (was && !switched_out) {
                away.back().second = std::atof(line.c_str()) * 1e6;
            }
        }
        const std::size_t bar = rest.find("|  ");
        if (std::atoi(proc.c_str() + proc.rfind('-') + 1) != pid || bar == std::string::npos) {
            continue;
        }
        const std::string dur = rest.substr(0, bar);
        const std::string fn = trimmed(rest.substr(bar + 3));
        const std::size_t digit = dur.find_first_of("0123456789");
        const double dur_us = digit == std::string::npos ? -1 : std::atof(dur.c_str() + digit);
        std::vector<int> &stack = open[in_interrupt[cpu] ? cpu + 1 : 0];
        if (fn.rfind('}', 0) == 0 && !stack.empty()) {
            if (stack.back() >= 0) {
                calls[static_cast<std::size_t>(stack.back())].dur_us = dur_us;
            }
            stack.pop_back();
        }
        const std::size_t paren = fn.find("()");
        if (fn.rfind("/*", 0) == 0 || paren == std::string::npos) {
            continue;
        }
        const double at_us = std::atof(line.c_str()) * 1e6;
        if (function_graph) {
            switched_out = std::any_of(away.begin(), away.end(), [&](const auto &span) {
                return at_us >= span.first && at_us < span.second;
            });
        }
        if (switched_out && !in_interrupt[cpu]) {
            if (fn.find("() {") != std::string::npos) {
                stack.push_back(-1);
            }
            continue;
        }
        call c{fn.substr(0, paren),
               at_us,
               dur_us,
               static_cast<int>(stack.size()),
               stack.empty() ? -1 : stack.back(),
               0,
               in_interrupt[cpu],
               cpu};
        if (c.parent >= 0) {
            ++calls[static_cast<std::size_t>(c.parent)].children;
        }
        calls.push_back(c);
        if (fn.find("() {") != std::string::npos) {
            stack.push_back(static_cast<int>(calls.size() - 1));
        }
    }
    return calls;
}

int calls_task() {
    const std::string pid = trimmed(result_file("calls/pid"));
    return pid.empty() ? -1 : std::stoi(pid);
}

// Under function_graph's roots (the window's system calls) both graphs
// show the same calls with the same parents, and no call ends after the
// entry that followed its return. By design, a tail call is entered with
// its caller's stack pointer, so here it is its caller's next sibling; a
// call from an untraced caller that moved its stack pointer may show nested
// in the call before it (counted: at most 1 in 8, 1 in 2 on the debug
// kernel); and a system call during which its CPUs took an interrupt may
// differ (function_graph nests softirqs in it, and its pid filter follows a
// switch from the tracepoint on): such a call is left out. Printed: how
// many durations of 20 us or more are within 10% or 5 us of
// function_graph's, whose hooks run in both tracers' times.
TEST(Vm, CallsMatchTheKernelsFunctionGraph) {
    const int pid = calls_task();
    ASSERT_EQ(result_file("calls/status"), "0\n");
    spans away;
    const std::vector<call> ours = calls_in(result_file("calls/graph"), pid, away);
    const std::vector<call> theirs = calls_in(result_file("calls/function_graph"), pid, away, true);
    const std::string traced = result_file("calls/graph-functions");
    int roots = 0;
    int interrupted = 0;
    int compared = 0;
    int durations = 0;
    int close = 0;
    int ends = 0;
    int outside = 0;
    int under_returned = 0;
    double worst_us = 0;
    std::size_t o = 0;
    for (std::size_t i = 0; i < theirs.size();) {
        std::size_t end = i + 1;
        while (end < theirs.size() && theirs[end].depth > 0) {
            ++end;
        }
        // Only the system calls asked for: function_graph also shows, at
        // the top, an interrupt's entry work that ran on the task's stack.
        if (traced.find(theirs[i].name + "\n") == std::string::npos) {
            i = end;
            continue;
        }
        while (o < ours.size() && (ours[o].name != theirs[i].name || ours[o].interrupt)) {
            ++o;
        }
        ASSERT_LT(o, ours.size()) << theirs[i].name << " at " << theirs[i].at_us << " us";
        ++roots;
        const double until = theirs[i].at_us + theirs[i].dur_us;
        std::set<int> cpus;
        for (std::size_t j = i; j < end; ++j) {
            cpus.insert(theirs[j].cpu);
        }
        const bool took_interrupt = std::any_of(ours.begin(), ours.end(), [&](const call &c) {
            return c.interrupt && cpus.count(c.cpu) != 0 && c.at_us >= theirs[i].at_us &&
                   c.at_us <= until;
        });
        std::map<std::size_t, std::size_t> mine; // their index: ours
        std::map<int, std::size_t> theirs_of;    // our index: theirs
        std::set<std::size_t> tail_callers;
        std::set<int> stretched; // ours, holding a call nested out of place
        std::string difference;
        std::size_t k = o;
        for (std::size_t j = i; j < end && difference.empty(); ++j, ++k) {
            while (k < ours.size() && ours[k].interrupt) {
                ++k;
            }
            if (k == ours.size() || ours[k].name != theirs[j].name) {
                difference = theirs[j].name + " is " + (k < ours.size() ? ours[k].name : "missing");
                break;
            }
            mine[j] = k;
            theirs_of[static_cast<int>(k)] = j;
            if (j == i) {
                continue;
            }
            auto parent = [&](int p) {
                return p >= static_cast<int>(i)
                           ? static_cast<int>(mine[static_cast<std::size_t>(p)])
                           : ours[mine[i]].parent;
            };
            // Here a tail caller is the callee's sibling just before it.
            auto previous_sibling = [&](std::size_t c) {
                std::size_t b = c;
                while (b-- > 0 && ours[b].parent != ours[c].parent) {
                }
                return b;
            };
            // A chain of tail calls: siblings one after the other.
            int p = theirs[j].parent;
            std::size_t callee = k;
            while (p >= static_cast<int>(i) && parent(p) != ours[k].parent &&
                   previous_sibling(callee) == mine[static_cast<std::size_t>(p)]) {
                tail_callers.insert(static_cast<std::size_t>(p));
                callee = mine[static_cast<std::size_t>(p)];
                p = theirs[static_cast<std::size_t>(p)].parent;
            }
            // A caller out of sight (untraced, or inlined into one) may
            // move its stack pointer below a call that already returned:
            // the entry then shows nested in that call. Counted. Told by
            // function_graph's nesting, not its times: its durations start
            // before its printed entry times (by 1.4 us once on arm64).
            const auto under = theirs_of.find(ours[k].parent);
            auto encloses = [&](std::size_t a, std::size_t c) {
                int q = theirs[c].parent;
                while (q >= 0 && static_cast<std::size_t>(q) != a) {
                    q = theirs[static_cast<std::size_t>(q)].parent;
                }
                return q >= 0;
            };
            if (parent(p) != ours[k].parent && under != theirs_of.end() &&
                !encloses(under->second, j)) {
                ++under_returned;
                // Its callers here then end at its end, past their return.
                for (int a = ours[k].parent; a >= 0; a = ours[static_cast<std::size_t>(a)].parent) {
                    stretched.insert(a);
                }
            } else if (parent(p) != ours[k].parent) {
                difference = theirs[j].name + " has another parent";
            }
        }
        o = std::max(o + 1, k);
        // function_graph nests softirqs run at an interrupt's exit in the
        // interrupted call; here they run on the interrupt stack.
        if (!difference.empty() && took_interrupt) {
            std::cout << "left out, " << theirs[i].name << " at " << theirs[i].at_us
                      << " us: " << difference << "\n";
            ++interrupted;
            i = end;
            continue;
        }
        EXPECT_EQ(difference, "") << "under " << theirs[i].name << " at " << theirs[i].at_us
                                  << " us";
        if (!difference.empty()) {
            i = end;
            continue;
        }
        compared += static_cast<int>(end - i);
        // A call ends here at the next event on its stack at its depth or
        // above: on this tracer's own clock, no later than the entry that
        // function_graph saw next after its return (times are printed in
        // whole microseconds: 1 us of slack). Calls ended by the system
        // call's exit have no such entry in the root.
        for (std::size_t j = i; j < end; ++j) {
            const call &c = ours[mine[j]];
            std::size_t m = j + 1;
            while (m < end && theirs[m].depth > theirs[j].depth) {
                ++m;
            }
            if (tail_callers.count(j) != 0 || c.dur_us < 0 || theirs[j].dur_us < 0) {
                continue;
            }
            if (m < end && stretched.count(static_cast<int>(mine[j])) == 0 &&
                c.at_us + c.dur_us > ours[mine[m]].at_us + 1.0) {
                std::cout << "ends late: " << c.name << " at " << c.at_us << " us, " << c.dur_us
                          << " us, after " << ours[mine[m]].name << " at " << ours[mine[m]].at_us
                          << " us\n";
                ++outside;
            }
            ends += m < end && stretched.count(static_cast<int>(mine[j])) == 0 ? 1 : 0;
            if (theirs[j].dur_us >= 20) {
                const double diff = std::fabs(c.dur_us - theirs[j].dur_us);
                close += diff <= std::max(0.1 * theirs[j].dur_us, 5.0) ? 1 : 0;
                worst_us = std::max(worst_us, diff);
                ++durations;
            }
        }
        i = end;
    }
    std::cout << "function_graph: " << roots << " system calls, " << interrupted
              << " that took an interrupt and differ left out; " << compared
              << " calls compared; of " << durations << " durations of 20 us or more, " << close
              << " within 10% or 5 us, largest difference " << worst_us << " us; " << ends - outside
              << " of " << ends << " ends before the next entry; " << under_returned
              << " calls nested in one that had returned\n";
    // The debug kernel's lock checking calls from untraced code far more.
    const int share = result_file("checkers").find("/proc/lockdep") != std::string::npos ? 2 : 8;
    EXPECT_LE(under_returned * share, compared)
        << "more than 1 in " << share << " nested in a call that had returned";
    EXPECT_EQ(outside, 0);
    EXPECT_GE(roots, 6);
    EXPECT_GE(roots - interrupted, 2);
    EXPECT_GT(compared, 50);
}

// latency_graph is well formed: every "{" has its "}" (those open at the
// window's end say so), and every line's time lies within the window.
TEST(Vm, GraphIsWellFormed) {
    const std::string graph = result_file("calls/graph");
    const double start_us = number(graph, "start_us");
    const double end_us = number(graph, "end_us");
    int opened = 0;
    int closed = 0;
    int lines = 0;
    for (const std::string &line : lines_of(graph)) {
        if (line.empty() || line[0] == '#' || line.find(" | ") == std::string::npos) {
            continue;
        }
        const double at_us = std::atof(line.c_str()) * 1e6;
        EXPECT_GE(at_us, std::floor(start_us)) << line;
        EXPECT_LE(at_us, end_us) << line;
        opened += line.find("() {") != std::string::npos ? 1 : 0;
        closed += line.find("|  ") != std::string::npos &&
                          trimmed(line.substr(line.rfind("|  ") + 3)).rfind('}', 0) == 0
                      ? 1
                      : 0;
        ++lines;
    }
    EXPECT_GT(opened, 10);
    EXPECT_EQ(opened, closed);
    EXPECT_GT(lines, 100);
}

// Perfetto's trace processor, where CMake's VORMEK_PERFETTO says ("" if
// it is not there).
std::string perfetto() {
    return !read_file(std::string(VORMEK_PERFETTO) + "/query").empty() ? VORMEK_PERFETTO : "";
}

// Perfetto's trace processor on a saved file: the rows of a query, each a
// list of fields without their quotes.
std::vector<std::vector<std::string>> query(const std::string &file, const std::string &sql) {
    std::vector<std::vector<std::string>> rows;
    FILE *out =
        popen((perfetto() + "/query '" + results() + "/" + file + "' '" + sql + "'").c_str(), "r");
    std::string text;
    char buf[4096];
    for (std::size_t n; out != nullptr && (n = std::fread(buf, 1, sizeof(buf), out)) > 0;) {
        text.append(buf, n);
    }
    EXPECT_TRUE(out != nullptr && pclose(out) == 0) << sql << " on " << file;
    for (const std::string &line : lines_of(text)) {
        std::vector<std::string> row;
        std::size_t from = 0;
        for (std::size_t comma; (comma = line.find(',', from)) != std::string::npos;
             from = comma + 1) {
            row.push_back(line.substr(from, comma - from));
        }
        row.push_back(line.substr(from));
        for (std::string &f : row) {
            f.erase(std::remove(f.begin(), f.end(), '"'), f.end());
        }
        rows.push_back(row);
    }
    if (!rows.empty()) {
        rows.erase(rows.begin()); // the header
    }
    return rows;
}

// latency_slices opens in Perfetto with one slice per call: for the window's
// task, each at its call's time (Perfetto reads times as floating point:
// rounded to the microsecond), with its name, duration and nesting.
TEST(Vm, SlicesOpenInPerfettoAsTheGraphsCalls) {
    if (perfetto().empty()) {
        SKIP_UNLESS_CI("Perfetto's trace processor is not in " VORMEK_PERFETTO);
    }
    const auto slices = query("calls/slices", "select ts, dur, name, depth from slice");
    EXPECT_EQ(static_cast<double>(slices.size()), number(result_file("calls/graph"), "calls"));
    std::multimap<std::pair<long long, std::string>, std::pair<double, int>> by_start;
    for (const auto &row : slices) {
        ASSERT_EQ(row.size(), 4U);
        by_start.insert({{std::llround(std::stod(row[0]) / 1000), row[2]},
                         {std::stod(row[1]) / 1000, std::stoi(row[3])}});
    }
    int matched = 0;
    spans away;
    for (const call &c : calls_in(result_file("calls/graph"), calls_task(), away)) {
        // Several calls of one name may start in the same microsecond.
        const auto range = by_start.equal_range({std::llround(c.at_us), c.name});
        const bool found = std::any_of(range.first, range.second, [&](const auto &slice) {
            return (c.dur_us < 0 || std::fabs(slice.second.first - c.dur_us) <= 1.0) &&
                   (c.interrupt || slice.second.second == c.depth);
        });
        EXPECT_TRUE(found) << c.name << " at " << c.at_us << " us, " << c.dur_us << " us, depth "
                           << c.depth;
        ++matched;
    }
    EXPECT_GT(matched, 50);
}

// latency_trace opens in Perfetto as ftrace text: a sched row per
// sched_switch line, and its tasks as threads.
TEST(Vm, ReportsOpenInPerfettoAsFtraceText) {
    if (perfetto().empty()) {
        SKIP_UNLESS_CI("Perfetto's trace processor is not in " VORMEK_PERFETTO);
    }
    for (const char *name : {"full/stdout", "base/report", "verbose/report", "wakeups/report",
                             "preempted/report", "calls/report"}) {
        SCOPED_TRACE(name);
        int switches = 0;
        std::set<std::string> tasks;
        std::set<std::string> threads;
        for (const event &e : events_of(result_file(name))) {
            if (e.body.rfind("sched_switch: ", 0) == 0) {
                ++switches;
                tasks.insert(e.task.substr(e.task.rfind('-') + 1));
            }
        }
        const auto rows = query(name, "select count(*) from sched");
        ASSERT_EQ(rows.size(), 1U);
        EXPECT_EQ(rows[0][0], std::to_string(switches));
        EXPECT_GT(switches, 0);
        for (const auto &row : query(name, "select tid from thread")) {
            threads.insert(row[0]);
        }
        for (const std::string &tid : tasks) {
            EXPECT_EQ(threads.count(tid), 1U) << "task " << tid;
        }
    }
}

} // namespace
