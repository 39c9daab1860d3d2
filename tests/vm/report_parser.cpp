#include "report_parser.hpp"

#include "file_io.hpp"
#include "knob_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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

namespace {
// The guest's architecture, read once: the loops over a report's lines
// ask for each line.
bool arm64() {
    static const bool is = trimmed(result_file("machine")) == "aarch64";
    return is;
}
} // namespace

std::string sys(const std::string &name) {
    return (arm64() ? "__arm64_sys_" : "__x64_sys_") + name;
}

std::string nr(const std::string &name) {
    // x86_64's own table; arm64's is asm-generic's.
    return name == "gettimeofday" ? (arm64() ? "169" : "96") : (arm64() ? "115" : "230");
}

std::string numbered(const std::string &name) {
    return name + " (" + nr(name) + ")";
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string first_line(const std::string &text) {
    return trimmed(text.substr(0, text.find('\n')));
}

case_result run_case(const std::string &name) {
    const std::string status = result_file(name + "/status");
    return {result_file(name + "/stdout"), result_file(name + "/stderr"),
            status.empty() ? -1 : std::stoi(status)};
}

std::string window_task(const std::string &name) {
    return "vm_window-" + first_line(run_case(name).out);
}

std::vector<std::string> knob_names() {
#define VT_KNOB_NAME(k, name) #name,
    return {VT_KNOBS(VT_KNOB_NAME)};
#undef VT_KNOB_NAME
}

std::string without_hooks(const std::string &report) {
    std::string text;
    for (const std::string &line : lines_of(report)) {
        text += line.rfind("# hooks: ", 0) == 0 ? "" : line + "\n";
    }
    return text;
}

std::string field(const std::string &report, const std::string &key) {
    for (const std::string &line : lines_of(report)) {
        if (line.rfind("# " + key + ": ", 0) == 0) {
            return line.substr(key.size() + 4);
        }
    }
    return "";
}

double number(const std::string &report, const std::string &key, const std::string &after) {
    const std::string value = field(report, key);
    const std::size_t at = after.empty() ? 0 : value.find(after);
    return at == std::string::npos || value.empty() ? -1
                                                    : std::atof(value.c_str() + at + after.size());
}

std::pair<int, int> dropped(const std::string &report) {
    std::pair<int, int> counts{0, 0};
    const std::string line = field(report, "dropped_windows");
    if (!line.empty() && std::sscanf(line.c_str(), "%*d (%d not longer than %*s %d shorter",
                                     &counts.first, &counts.second) != 2) {
        return {-1, -1};
    }
    return counts;
}

int opened_cpu(const std::string &report) {
    const std::string opened = field(report, "opened_by");
    return std::atoi(opened.c_str() + opened.rfind(' ') + 1);
}

std::vector<event> events_of(const std::string &report, bool from_boot) {
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

// From "sys_enter: NR nr (args) NAME".
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

std::set<int> cpus_of(const std::vector<event> &events) {
    std::set<int> cpus;
    for (const event &e : events) {
        cpus.insert(e.cpu);
    }
    return cpus;
}

window_run window_case(const std::string &name) {
    window_run c{run_case(name).out, result_file(name + "/report"), {}, "", false};
    c.events = events_of(c.report);
    c.task = "vm_window-" + first_line(c.out);
    c.opened = field(c.report, "opened_by").rfind(c.task + " on cpu ", 0) == 0;
    return c;
}
