#include "strace_log.hpp"

#include <cstdlib>
#include <fstream>

namespace {

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool is_note(const std::string &text) {
    return starts_with(text, "+++ ") || starts_with(text, "--- ");
}

// strace prints strings C-style; undo the escapes our command lines can carry.
std::string unescape(const std::string &quoted) {
    std::string out;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) {
            ++i;
        }
        out += quoted[i];
    }
    return out;
}

} // namespace

strace_log read_strace_log(const std::string &path) {
    strace_log log;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t gap = line.find_first_of(' ');
        if (gap == std::string::npos) {
            continue;
        }
        trace_line entry{std::atoi(line.c_str()), line.substr(line.find_first_not_of(' ', gap))};
        log.lines.push_back(entry);
    }
    if (!log.lines.empty()) {
        log.root_pid = log.lines.front().pid;
    }
    return log;
}

int find_line(const strace_log &log, int pid, const std::string &prefix, int from) {
    for (int i = from; i < static_cast<int>(log.lines.size()); ++i) {
        if (log.lines[i].pid == pid && starts_with(log.lines[i].text, prefix)) {
            return i;
        }
    }
    return -1;
}

int count_lines(const strace_log &log, int pid, const std::string &prefix) {
    int count = 0;
    for (const trace_line &line : log.lines) {
        count += line.pid == pid && starts_with(line.text, prefix) ? 1 : 0;
    }
    return count;
}

std::vector<std::string> calls_between(const strace_log &log, int pid, int first, int last) {
    std::vector<std::string> calls;
    for (int i = first + 1; i < last; ++i) {
        if (log.lines[i].pid == pid && !is_note(log.lines[i].text)) {
            calls.push_back(log.lines[i].text);
        }
    }
    return calls;
}

std::vector<int> children_of(const strace_log &log, int pid) {
    std::vector<int> children;
    for (const trace_line &line : log.lines) {
        const std::string &text = line.text;
        const bool creates = starts_with(text, "clone") || starts_with(text, "fork") ||
                             starts_with(text, "vfork") || starts_with(text, "<... clone") ||
                             starts_with(text, "<... fork") || starts_with(text, "<... vfork");
        const std::size_t result = text.rfind(" = ");
        if (line.pid != pid || !creates || text.find("<unfinished") != std::string::npos ||
            result == std::string::npos) {
            continue;
        }
        const int child = std::atoi(text.c_str() + result + 3);
        if (child > 0) {
            children.push_back(child);
        }
    }
    return children;
}

int first_line_of(const strace_log &log, int pid) {
    for (int i = 0; i < static_cast<int>(log.lines.size()); ++i) {
        if (log.lines[i].pid == pid) {
            return i;
        }
    }
    return -1;
}

int exit_line_of(const strace_log &log, int pid) {
    const int exited = find_line(log, pid, "+++ exited");
    return exited >= 0 ? exited : find_line(log, pid, "+++ killed");
}

std::vector<shell_run> shell_runs(const strace_log &log) {
    static const std::string prefix = "execve(\"/bin/sh\", [\"sh\", \"-c\", \"";
    std::vector<shell_run> runs;
    for (const trace_line &line : log.lines) {
        if (!starts_with(line.text, prefix)) {
            continue;
        }
        const std::size_t end = line.text.find("\"]", prefix.size());
        runs.push_back({line.pid, unescape(line.text.substr(prefix.size(), end - prefix.size()))});
    }
    return runs;
}
