// fakeproc: runs a program in a private mount namespace whose /proc is a
// read-only tmpfs laid out as a latency-tracer kernel shows it.
//
//   fakeproc [--layout DIR] [--trace FILE] [--user NAME] [--no-dac] -- PROGRAM [ARG...]
//
// DIR/sys/kernel/* appear as /proc/sys/kernel/*, DIR/latency_trace as
// /proc/latency_trace. Each is bind-mounted from DIR, so writes land in DIR
// and can be inspected afterwards; a name that DIR lacks cannot be created,
// because the tmpfs beneath is read-only, just as on procfs.
//
// --trace FILE  run PROGRAM under "strace -f", writing the trace to FILE
// --user NAME   run PROGRAM as that user (set-user-ID bits still apply)
// --no-dac      drop CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, so file modes
//               bind root too (an unreadable knob file)
// --no-shell    make /bin/sh unusable (an empty, non-executable file)
//
// /proc/self and /proc/thread-self still work: they lead into the host's
// procfs, kept at /proc/.host, which runtimes such as sanitizers need.
//
// Exit status: PROGRAM's own (it replaces this process); 77 where no mount
// namespace can be made here; 125 for any other failure to set up.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef STRACE_PATH
#define STRACE_PATH "/usr/bin/strace"
#endif

namespace {

constexpr int exit_skip = 77;
constexpr int exit_setup = 125;

[[noreturn]] void fail(int status, const std::string &what) {
    static_cast<void>(
        std::fprintf(stderr, "fakeproc: %s: %s\n", what.c_str(), std::strerror(errno)));
    std::_Exit(status);
}

bool write_file(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Root gets a plain mount namespace; anyone else a user namespace in which
// they are root, so that the program under test still sees user ID 0.
void enter_namespace() {
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            fail(exit_skip, "skip: cannot create a mount namespace");
        }
        return;
    }
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        fail(exit_skip, "skip: not root, and cannot create a user namespace");
    }
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        fail(exit_skip, "skip: cannot map root in a user namespace");
    }
}

// Puts an empty placeholder of the same kind at `target` and binds `source`
// over it.
void bind_entry(const std::string &source, const std::string &target) {
    struct stat st {};
    if (lstat(source.c_str(), &st) != 0) {
        fail(exit_setup, "stat " + source);
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(target.c_str(), 0555) != 0) {
            fail(exit_setup, "mkdir " + target);
        }
    } else {
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (fd < 0) {
            fail(exit_setup, "create " + target);
        }
        close(fd);
    }
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        fail(exit_setup, "bind " + source);
    }
}

void lay_out_proc(const std::string &layout, const std::string &staging) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail(exit_setup, "make mounts private");
    }
    // Park the host's procfs on a staging folder before covering /proc.
    if (mount("/proc", staging.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        fail(exit_setup, "keep the host's /proc at " + staging);
    }
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (mount("fakeproc", "/proc", "tmpfs", flags, "mode=0555") != 0) {
        fail(exit_setup, "mount tmpfs on /proc");
    }
    if (mkdir("/proc/.host", 0555) != 0 ||
        mount(staging.c_str(), "/proc/.host", nullptr, MS_MOVE, nullptr) != 0 ||
        symlink(".host/self", "/proc/self") != 0 ||
        symlink(".host/thread-self", "/proc/thread-self") != 0) {
        fail(exit_setup, "link /proc/self to the host's procfs");
    }
    rmdir(staging.c_str());
    if (mkdir("/proc/sys", 0555) != 0 || mkdir("/proc/sys/kernel", 0555) != 0) {
        fail(exit_setup, "mkdir /proc/sys/kernel");
    }
    if (!layout.empty()) {
        const std::string knobs = layout + "/sys/kernel";
        if (DIR *dir = opendir(knobs.c_str())) {
            while (const dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    std::string source = knobs;
                    source.append("/").append(name);
                    bind_entry(source, "/proc/sys/kernel/" + name);
                }
            }
            closedir(dir);
        }
        const std::string report = layout + "/latency_trace";
        if (access(report.c_str(), F_OK) == 0) {
            bind_entry(report, "/proc/latency_trace");
        }
    }
    if (mount(nullptr, "/proc", nullptr, MS_REMOUNT | MS_RDONLY | flags, "mode=0555") != 0) {
        fail(exit_setup, "remount /proc read-only");
    }
}

// Covers the shell with an empty file, so that it cannot be executed.
void disable_shell(const std::string &staging) {
    const std::string empty = staging + ".sh";
    const int fd = open(empty.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail(exit_setup, "create " + empty);
    }
    close(fd);
    const bool covered = mount(empty.c_str(), "/bin/sh", nullptr, MS_BIND, nullptr) == 0;
    unlink(empty.c_str());
    if (!covered) {
        fail(exit_setup, "cover /bin/sh");
    }
}

void drop_dac_override() {
    if (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0) {
        fail(exit_setup, "drop DAC capabilities");
    }
}

void become_user(const std::string &user) {
    const passwd *pw = getpwnam(user.c_str());
    if (pw == nullptr) {
        errno = ENOENT;
        fail(exit_setup, "user " + user);
    }
    if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) {
        fail(exit_setup, "become " + user);
    }
}

[[noreturn]] void usage() {
    static_cast<void>(std::fprintf(stderr,
                                   "usage: fakeproc [--layout DIR] [--trace FILE] [--user NAME] "
                                   "[--no-dac] [--no-shell] -- PROGRAM [ARG...]\n"));
    std::_Exit(exit_setup);
}

} // namespace

int main(int argc, char **argv) {
    std::string layout;
    std::string trace;
    std::string user;
    bool no_dac = false;
    bool no_shell = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--no-dac") {
            no_dac = true;
        } else if (arg == "--no-shell") {
            no_shell = true;
        } else if (i + 1 < argc && arg == "--layout") {
            layout = argv[++i];
        } else if (i + 1 < argc && arg == "--trace") {
            trace = argv[++i];
        } else if (i + 1 < argc && arg == "--user") {
            user = argv[++i];
        } else {
            usage();
        }
    }
    if (i >= argc) {
        usage();
    }

    const bool was_root = geteuid() == 0;
    if (!user.empty() && !was_root) {
        errno = EPERM;
        fail(exit_skip, "skip: --user needs root");
    }
    enter_namespace();
    // A private folder, on a file system that allows mounts, for staging.
    char staging[] = "/tmp/fakeproc.XXXXXX";
    if (mkdtemp(staging) == nullptr) {
        fail(exit_setup, "make a staging folder");
    }
    lay_out_proc(layout, staging);
    if (no_shell) {
        disable_shell(staging);
    }
    if (no_dac) {
        drop_dac_override();
    }

    std::vector<char *> args;
    if (!trace.empty()) {
        // strace switches user itself (-u), so that set-user-ID bits are
        // honoured for the traced program.
        static char strace_path[] = STRACE_PATH;
        static char opt_f[] = "-f";
        static char opt_s[] = "-s";
        static char string_limit[] = "65536";
        static char opt_o[] = "-o";
        args = {strace_path, opt_f, opt_s, string_limit, opt_o, trace.data()};
        if (!user.empty()) {
            static char opt_u[] = "-u";
            args.push_back(opt_u);
            args.push_back(user.data());
        }
        static char end_of_options[] = "--";
        args.push_back(end_of_options);
    } else if (!user.empty()) {
        become_user(user);
    }
    for (; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    fail(exit_setup, std::string("exec ") + args[0]);
}
