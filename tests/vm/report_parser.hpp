// The VM scenarios' results (VM_RESULTS_DIR, one folder per case) and the
// tracer's report read from them: header fields and event lines.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

// VM_RESULTS_DIR: results-KERNEL of the kernel's boot.
std::string results();
std::string result_file(const std::string &name);
std::string trimmed(std::string text);
std::vector<std::string> lines_of(const std::string &text);
// The guest's entry function of a system call, as ftrace names it:
// "__x64_sys_NAME" on x86_64, "__arm64_sys_NAME" on arm64.
std::string sys(const std::string &name);
// The guest's number of gettimeofday or clock_nanosleep, and "NAME (NR)".
std::string nr(const std::string &name);
std::string numbered(const std::string &name);
// The first line of a text, as "PID" from vm_window's output.
std::string first_line(const std::string &text);

struct case_result {
    std::string out, err;
    int status;
};
case_result run_case(const std::string &name);
// "vm_window-PID" of the vm_window a case ran.
std::string window_task(const std::string &name);

// The module's knob names, from its list.
std::vector<std::string> knob_names();

// A report without its "# hooks:" line, which tells the state now.
std::string without_hooks(const std::string &report);
// The value of a "# key: value" header line ("" where there is none).
std::string field(const std::string &report, const std::string &key);
// The leading number of a header field, or of what follows `after` in it,
// as in "# events: 12 kept, 3 lost" (-1 where there is none).
double number(const std::string &report, const std::string &key, const std::string &after = "");
// "# dropped_windows:": (not longer than preempt_max_latency, shorter than
// preempt_thresh), 0 and 0 where the line is absent.
std::pair<int, int> dropped(const std::string &report);
// The CPU of "# opened_by: TASK-PID on cpu N".
int opened_cpu(const std::string &report);

// One event line, in ftrace's format: "TASK-PID [CPU] FLAGS SECONDS: BODY".
struct event {
    std::string task;
    int cpu;
    std::string flags;
    double at_us; // since the window opened
    std::string body;
};
// Times are since the window opened, or since boot with from_boot.
std::vector<event> events_of(const std::string &report, bool from_boot = false);
bool has_event(const std::vector<event> &events, const std::string &task,
               const std::string &body_start);
// The system calls a task entered, in order, as "NAME (NR)".
std::vector<std::string> calls_of(const std::vector<event> &events, const std::string &task);
std::set<int> cpus_of(const std::vector<event> &events);

// A case that ran one vm_window window and saved the report after it.
struct window_run {
    std::string out, report;
    std::vector<event> events;
    std::string task; // "vm_window-PID"
    bool opened;      // the report shows this case's window
};
window_run window_case(const std::string &name);
