// Running the built tool in the user-space stand-in (fakeproc) and reading
// back everything it did.
#pragma once

#include "file_io.hpp"

#include <string>
#include <vector>

// The ten knobs in the order the tool writes them, and the digit each gets.
struct knob_value {
    const char *knob;
    const char *digit;
};
extern const knob_value expected_knobs[10];

// Content every knob file starts with, so a write shows.
extern const char *const untouched_knob;

// A private folder laid out like a tracer kernel's /proc, for one scenario.
struct fake_proc {
    std::string root; // removed again by remove_fake_proc
};

// All ten knobs (untouched_knob in each) and a report with `report` in it.
fake_proc make_fake_proc(const std::string &report);
void remove_fake_proc(const fake_proc &proc);
void remove_knob(const fake_proc &proc, const std::string &knob);
void remove_report(const fake_proc &proc);
void write_knob(const fake_proc &proc, const std::string &knob, const std::string &content);
void chmod_knob(const fake_proc &proc, const std::string &knob, unsigned mode);
void chmod_report(const fake_proc &proc, unsigned mode);
// The knob's content after the run; "<missing>" when there is no such file.
std::string read_knob(const fake_proc &proc, const std::string &knob);

enum class stdout_kind {
    file,        // a file, read back into run_result::out
    closed,      // no file descriptor 1 at all
    broken_pipe, // a pipe whose reader takes pipe_bytes bytes, then goes away
};

struct run_options {
    std::vector<std::string> args; // given to the tool
    std::string user;              // run as this user ("": root)
    std::string program;           // another binary than the built tool
    std::string path_env;          // PATH for the tool ("": the test's own)
    bool no_dac = false;           // file modes bind root
    bool no_shell = false;         // /bin/sh cannot be executed
    bool trace = true;             // under strace -f
    stdout_kind out = stdout_kind::file;
    std::size_t pipe_bytes = 0;
    int signal_in_window = 0; // sent once mcount_enabled is written (needs trace = false)
};

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    std::string trace_path;   // the strace log
    bool skipped = false;     // fakeproc cannot make a namespace here
    bool left_behind = false; // a process of the run outlived it
    bool signal_sent = false;
};

run_result run_tool(const fake_proc &proc, const run_options &options);

// In a GoogleTest test: skip, with fakeproc's reason, where it cannot run.
#define SKIP_IF_NO_NAMESPACE(result)                                                               \
    if ((result).skipped) {                                                                        \
        SKIP_UNLESS_CI((result).err);                                                              \
    }

// The build's tool and stand-in runner.
extern const char *const vormek_binary;
extern const char *const fakeproc_binary;
