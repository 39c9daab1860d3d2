// Reading an "strace -f -o FILE" log: which process made which system call,
// in the order strace saw them.
#pragma once

#include <string>
#include <vector>

struct trace_line {
    int pid;
    std::string text; // the line without its pid
};

struct strace_log {
    std::vector<trace_line> lines;
    int root_pid = -1; // the traced program: the pid of the first line
};

strace_log read_strace_log(const std::string &path);

// Index of the first line of `pid` whose text starts with `prefix`, from
// `from` on; -1 where there is none.
int find_line(const strace_log &log, int pid, const std::string &prefix, int from = 0);

// Number of lines of `pid` whose text starts with `prefix`.
int count_lines(const strace_log &log, int pid, const std::string &prefix);

// The system calls of `pid` in the lines strictly between `first` and `last`
// (signal and exit notes are not system calls).
std::vector<std::string> calls_between(const strace_log &log, int pid, int first, int last);

// The processes `pid` created, in order (from clone, clone3, fork, vfork).
std::vector<int> children_of(const strace_log &log, int pid);

// Index of a process's first line, and of the line reporting its end.
int first_line_of(const strace_log &log, int pid);
int exit_line_of(const strace_log &log, int pid);

// Each shell run: the process and the command line given to "/bin/sh -c".
struct shell_run {
    int pid;
    std::string command;
};
std::vector<shell_run> shell_runs(const strace_log &log);
