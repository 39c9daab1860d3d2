#include "tool_run.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const char *const vormek_binary = VORMEK_BINARY;
const char *const fakeproc_binary = FAKEPROC_BINARY;

const knob_value expected_knobs[10] = {
    {"trace_all_cpus", "1"},       {"trace_enabled", "1"},        {"trace_freerunning", "0"},
    {"trace_print_at_crash", "0"}, {"trace_user_triggered", "1"}, {"trace_verbose", "0"},
    {"preempt_max_latency", "0"},  {"preempt_thresh", "0"},       {"wakeup_timing", "0"},
    {"mcount_enabled", "1"},
};

const char *const untouched_knob = "7\n";

static std::string knob_path(const fake_proc &proc, const std::string &knob) {
    return proc.root + "/proc/sys/kernel/" + knob;
}

fake_proc make_fake_proc(const std::string &report) {
    char base[] = "/tmp/vormek-test.XXXXXX";
    fake_proc proc{mkdtemp(base)};
    // Other users must reach the folder: the set-user-ID scenario runs there.
    chmod(proc.root.c_str(), 0755);
    std::filesystem::create_directories(proc.root + "/proc/sys/kernel");
    for (const knob_value &knob : expected_knobs) {
        write_knob(proc, knob.knob, untouched_knob);
    }
    write_file(proc.root + "/proc/latency_trace", report);
    return proc;
}

void remove_fake_proc(const fake_proc &proc) {
    std::error_code ignored;
    std::filesystem::remove_all(proc.root, ignored);
}

void remove_knob(const fake_proc &proc, const std::string &knob) {
    std::filesystem::remove(knob_path(proc, knob));
}

void remove_report(const fake_proc &proc) {
    std::filesystem::remove(proc.root + "/proc/latency_trace");
}

void write_knob(const fake_proc &proc, const std::string &knob, const std::string &content) {
    write_file(knob_path(proc, knob), content);
}

void chmod_knob(const fake_proc &proc, const std::string &knob, unsigned mode) {
    chmod(knob_path(proc, knob).c_str(), mode);
}

void chmod_report(const fake_proc &proc, unsigned mode) {
    chmod((proc.root + "/proc/latency_trace").c_str(), mode);
}

std::string read_knob(const fake_proc &proc, const std::string &knob) {
    const std::string path = knob_path(proc, knob);
    return std::filesystem::exists(path) ? read_file(path) : "<missing>";
}

run_result run_tool(const fake_proc &proc, const run_options &options) {
    run_result result;
    result.trace_path = proc.root + "/strace.log";
    const std::string out_path = proc.root + "/stdout";
    const std::string err_path = proc.root + "/stderr";

    std::vector<std::string> words = {fakeproc_binary, "--layout", proc.root + "/proc"};
    if (options.trace) {
        words.insert(words.end(), {"--trace", result.trace_path});
    }
    if (!options.user.empty()) {
        words.insert(words.end(), {"--user", options.user});
    }
    if (options.no_dac) {
        words.emplace_back("--no-dac");
    }
    if (options.no_shell) {
        words.emplace_back("--no-shell");
    }
    words.emplace_back("--");
    words.emplace_back(options.program.empty() ? vormek_binary : options.program);
    words.insert(words.end(), options.args.begin(), options.args.end());
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> env_words;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string word = *entry;
        if (options.path_env.empty() || word.rfind("PATH=", 0) != 0) {
            env_words.push_back(word);
        }
    }
    if (!options.path_env.empty()) {
        env_words.push_back("PATH=" + options.path_env);
    }
    std::vector<char *> envp;
    envp.reserve(env_words.size() + 1);
    for (std::string &word : env_words) {
        envp.push_back(word.data());
    }
    envp.push_back(nullptr);

    // Processes the run leaves behind become ours, so that they can be seen.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    int pipe_ends[2] = {-1, -1};
    if (options.out == stdout_kind::broken_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0) {
        result.err = "cannot make a pipe";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.out == stdout_kind::file) {
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else if (options.out == stdout_kind::closed) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    }
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // The run starts with default signal actions, whatever the test runner set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipe_ends[1] >= 0) {
        close(pipe_ends[1]);
    }
    if (spawned != 0) {
        if (pipe_ends[0] >= 0) {
            close(pipe_ends[0]);
        }
        result.err = "cannot start fakeproc";
        return result;
    }
    if (options.out == stdout_kind::broken_pipe) {
        std::string taken(options.pipe_bytes, '\0');
        std::size_t got = 0;
        while (got < taken.size()) {
            const ssize_t n = read(pipe_ends[0], &taken[got], taken.size() - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        result.out = taken.substr(0, got);
        close(pipe_ends[0]);
    }
    if (options.signal_in_window != 0) {
        // mcount_enabled is the last setting; the window opens right after it.
        for (int i = 0; i < 5000 && read_knob(proc, "mcount_enabled") != "1\n"; ++i) {
            usleep(2000);
        }
        usleep(20000);
        result.signal_sent = kill(pid, options.signal_in_window) == 0;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (options.out == stdout_kind::file) {
        result.out = read_file(out_path);
    }
    result.err = read_file(err_path);
    // Anything still running, or ended but not reaped by its parent, was left behind.
    int orphan_status = 0;
    result.left_behind = waitpid(-1, &orphan_status, WNOHANG) != -1 || errno != ECHILD;
    while (waitpid(-1, &orphan_status, WNOHANG) > 0) {
    }
    result.skipped = result.status == 77 && result.err.rfind("fakeproc: skip", 0) == 0;
    return result;
}
