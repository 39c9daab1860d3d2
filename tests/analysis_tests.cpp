// Where the window's time went (kernel-tracer/analysis.c), built for user
// space with the call graph it reads, on synthetic event sequences whose
// figures are known. The opener is thread group 1; the window is 100 ns.
extern "C" {
#include "analysis.h"
#include "hist_bucket.h"
}

#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr long long window_end = 100;
constexpr unsigned int cpus = 2;

struct step {
    an_input in;
    unsigned long sp; // where a call graph input is made of it
};

// An event of task pid (thread group tgid) on cpu, named after its pid.
an_input base(an_kind kind, long long t, int cpu, int pid, int tgid) {
    static const char *const names[] = {"swapper", "opener", "helper", "three", "four",
                                        "waker",   "six",    "busy",   "eight", "hog"};
    an_input in{};
    in.time = t;
    in.cpu = cpu;
    in.kind = static_cast<unsigned char>(kind);
    in.origin = static_cast<unsigned char>(kind);
    in.context = AN_IN_TASK;
    in.pid = pid;
    in.tgid = tgid;
    in.comm = names[pid % 10];
    return in;
}

// A switch from pid to next, pid leaving as `prev` (enum an_sleep).
step sw(long long t, int cpu, int pid, int tgid, int next, int next_prio, an_sleep prev) {
    an_input in = base(AN_SWITCH, t, cpu, pid, tgid);
    in.sw.next_pid = next;
    in.sw.next_prio = next_prio;
    in.sw.next_comm = base(AN_OTHER, 0, 0, next, 0).comm;
    in.sw.prev = static_cast<unsigned char>(prev);
    in.preempt_off = 1;
    in.irqs_off = 1;
    return {in, 500};
}

// Task pid on cpu, in context, wakes woken for target_cpu.
step wake(long long t, int cpu, int pid, an_context context, int woken, int target_cpu) {
    an_input in = base(AN_WAKEUP, t, cpu, pid, pid == 1 || pid == 2 ? 1 : pid);
    in.context = static_cast<unsigned char>(context);
    in.wake.pid = woken;
    in.wake.cpu = target_cpu;
    return {in, 500};
}

step fn(long long t, int cpu, int pid, unsigned long sp, unsigned long ip = 0x100, int tgid = 1) {
    an_input in = base(AN_FUNCTION, t, cpu, pid, tgid);
    in.ip = ip;
    return {in, sp};
}

step sys(an_kind kind, long long t, int cpu, int pid, long nr, const char *name) {
    an_input in = base(kind, t, cpu, pid, 1);
    in.sys.nr = nr;
    in.sys.name = name;
    return {in, 0};
}

step handler(an_kind kind, long long t, int cpu, int pid, const char *name = "timer",
             int tgid = 1) {
    an_input in = base(kind, t, cpu, pid, tgid);
    in.handler = name;
    in.context =
        kind == AN_SOFTIRQ_ENTRY || kind == AN_SOFTIRQ_EXIT ? AN_IN_SOFTIRQ : AN_IN_HARDIRQ;
    return {in, 0};
}

// An event with interrupts and preemption off as given.
step flagged(step s, bool irqs_off, bool preempt_off) {
    s.in.irqs_off = irqs_off;
    s.in.preempt_off = preempt_off;
    return s;
}

// The call graph's view of an event, on its task's stack.
cg_input graph_input(const step &s) {
    cg_input in{};
    in.time = s.in.time;
    in.sp = s.sp;
    in.pid = s.in.pid;
    in.tgid = s.in.tgid;
    in.cpu = s.in.cpu;
    in.stack = CG_TASK;
    in.ip = s.in.ip;
    switch (s.in.kind) {
    case AN_FUNCTION:
        in.kind = CG_CALL;
        break;
    case AN_SYSCALL:
    case AN_SYS_EXIT:
        in.kind = CG_SYSCALL;
        break;
    case AN_HARDIRQ_ENTRY:
    case AN_SOFTIRQ_ENTRY:
        in.kind = CG_IRQ_ENTER;
        break;
    case AN_HARDIRQ_EXIT:
    case AN_SOFTIRQ_EXIT:
        in.kind = CG_IRQ_EXIT;
        break;
    default:
        in.kind = CG_EVENT;
    }
    return in;
}

std::string num(unsigned long long n) {
    return std::to_string(n);
}

std::string hex(unsigned long long n) {
    char digits[24];
    const int length = std::snprintf(digits, sizeof(digits), "%llx", n);
    return std::string(digits, length > 0 ? static_cast<std::size_t>(length) : 0U);
}

std::string split(const an_summary &s) {
    return "run " + num(s.running) + " pre " + num(s.preempted) + " woken " + num(s.woken) + " S " +
           num(s.sleeping[AN_SLEEP_S]) + " D " + num(s.sleeping[AN_SLEEP_D]) + " other " +
           num(s.sleeping[AN_SLEEP_OTHER]);
}

// A list's ranked entries: "name-pid prio:ns" for tasks, "name countx:ns".
std::string ranked(const an_list &l, bool tasks) {
    std::string out;
    const an_tally *t = nullptr;
    for (int k = 0; (t = an_top(&l, k)) != nullptr; ++k) {
        out += (k ? ", " : "") + std::string(t->name);
        out += tasks
                   ? "-" + std::to_string(t->pid) + " " + std::to_string(t->prio) + ":" + num(t->ns)
                   : " " + num(t->count) + "x:" + num(t->ns);
    }
    return out;
}

std::string wakeups(const an_summary &s) {
    static const char *const contexts[] = {"task", "softirq", "hardirq"};
    std::string out = num(s.wakeups) + ":";
    for (const an_wakeup &w : s.wake) {
        if (w.comm[0]) {
            out += (out.back() == ':' ? " " : ", ") + std::string(w.comm) + "-" +
                   std::to_string(w.pid) + " " + contexts[w.context] + " cpu" +
                   std::to_string(w.cpu) + " +" + num(w.delay);
        }
    }
    return out;
}

std::string handlers(const an_summary &s) {
    return "hard " + num(s.hardirqs) + ":" + num(s.hardirq_ns) + " soft " + num(s.softirqs) + ":" +
           num(s.softirq_ns) + "; " + ranked(s.handlers, false);
}

std::string calls(const an_summary &s) {
    std::string out;
    for (const an_call &c : s.call) {
        if (c.ns) {
            out += (out.empty() ? "" : ", ") + hex(c.ip) + ":" + num(c.ns) + "/" + num(c.self);
        }
    }
    return out;
}

std::string stretch(const an_longest &o) {
    if (!o.ns) {
        return "none";
    }
    return "cpu" + std::to_string(o.cpu) + " " + num(o.ns) + " " +
           (o.ip ? "ip " + hex(o.ip) : "kind " + num(o.origin));
}

// Each figure by name, as the cases expect it.
std::map<std::string, std::string> figures(const an_summary &s) {
    return {{"threads", num(s.threads)},
            {"split", split(s)},
            {"instead", ranked(s.instead, true)},
            {"woken", wakeups(s)},
            {"handlers", handlers(s)},
            {"syscalls", ranked(s.syscalls, false)},
            {"calls", calls(s)},
            {"irqs_off", stretch(s.off[AN_IRQS_OFF])},
            {"preempt_off", stretch(s.off[AN_PREEMPT_OFF])}};
}

struct scenario {
    const char *name;
    // cppcheck-suppress unusedStructMember ; read through GetParam()
    std::vector<step> steps;
    // cppcheck-suppress unusedStructMember ; read through GetParam()
    std::map<std::string, std::string> expect;
};

void PrintTo(const scenario &s, std::ostream *os) {
    *os << s.name;
}

class Analysis : public testing::TestWithParam<scenario> {};

TEST_P(Analysis, GivesTheKnownFigures) {
    const scenario &sc = GetParam();
    auto graph = std::make_unique<cg_state>();
    auto state = std::make_unique<an_state>();
    std::vector<cg_call> records(sc.steps.size());
    std::vector<an_cpu> cpu(cpus);
    cg_begin(graph.get(), records.data(), static_cast<unsigned int>(records.size()));
    an_begin(state.get(), cpu.data(), cpus, 1, window_end);
    for (std::size_t i = 0; i < sc.steps.size(); ++i) {
        const cg_input in = graph_input(sc.steps[i]);
        cg_feed(graph.get(), static_cast<unsigned int>(i), &in);
        an_feed(state.get(), &sc.steps[i].in);
        an_feed_calls(state.get(), records.data(), records[i].first_closed);
    }
    cg_end(graph.get(), window_end);
    an_feed_calls(state.get(), records.data(), graph->open_first);
    an_end(state.get());
    const std::map<std::string, std::string> got = figures(*an_figures(state.get()));
    for (const auto &[key, value] : sc.expect) {
        EXPECT_EQ(got.at(key), value) << key;
    }
    // Every thread's time is accounted for, once.
    const an_summary &s = *an_figures(state.get());
    EXPECT_EQ(s.running + s.preempted + s.woken + s.sleeping[AN_SLEEP_S] + s.sleeping[AN_SLEEP_D] +
                  s.sleeping[AN_SLEEP_OTHER],
              window_end * s.threads);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Analysis,
    testing::Values(
        // The opener runs, is preempted by busy (7) for 20, runs, sleeps
        // interruptibly for 20, is woken from a hard interrupt and waits
        // 10 behind the idle task, then runs to the end.
        scenario{"preempted_then_woken",
                 {fn(0, 0, 1, 900), sw(10, 0, 1, 1, 7, 49, AN_RUNNABLE),
                  sw(30, 0, 7, 7, 1, 120, AN_SLEEP_S), sw(40, 0, 1, 1, 0, 120, AN_SLEEP_S),
                  wake(60, 1, 5, AN_IN_HARDIRQ, 1, 0), sw(70, 0, 0, 0, 1, 120, AN_RUNNABLE)},
                 {{"threads", "1"},
                  {"split", "run 50 pre 20 woken 10 S 20 D 0 other 0"},
                  {"instead", "busy-7 49:20, swapper-0 120:10"},
                  {"woken", "1: waker-5 hardirq cpu1 +10"}}},
        // Uninterruptible and other sleeps are told apart from S.
        scenario{"sleep_states",
                 {fn(0, 0, 1, 900), sw(10, 0, 1, 1, 0, 120, AN_SLEEP_D),
                  wake(30, 0, 5, AN_IN_TASK, 1, 0), sw(30, 0, 0, 0, 1, 120, AN_RUNNABLE),
                  sw(50, 0, 1, 1, 0, 120, AN_SLEEP_OTHER), wake(80, 0, 0, AN_IN_SOFTIRQ, 1, 0),
                  sw(90, 0, 0, 0, 1, 120, AN_RUNNABLE)},
                 {{"split", "run 40 pre 0 woken 10 S 0 D 20 other 30"},
                  {"woken", "2: swapper-0 softirq cpu0 +10, waker-5 task cpu0 +0"}}},
        // Woken on CPU 0 for CPU 1: what ran on CPU 1 meanwhile ran
        // instead, not what ran on the waker's CPU.
        scenario{"woken_for_another_cpu",
                 {sw(0, 1, 0, 0, 7, 50, AN_RUNNABLE), fn(1, 0, 1, 900),
                  sw(10, 0, 1, 1, 9, 120, AN_SLEEP_S), wake(20, 0, 9, AN_IN_TASK, 1, 1),
                  sw(60, 1, 7, 7, 1, 120, AN_RUNNABLE)},
                 {{"split", "run 50 pre 0 woken 40 S 10 D 0 other 0"},
                  {"instead", "busy-7 50:40"},
                  {"woken", "1: hog-9 task cpu0 +40"}}},
        // Four wakeups: the three that waited longest, the longest first.
        scenario{
            "wakers_ranked",
            {fn(0, 0, 2, 900), sw(5, 0, 2, 1, 0, 120, AN_SLEEP_S), wake(10, 0, 5, AN_IN_TASK, 2, 0),
             sw(15, 0, 0, 0, 2, 120, AN_RUNNABLE), sw(20, 0, 2, 1, 0, 120, AN_SLEEP_S),
             wake(30, 0, 5, AN_IN_HARDIRQ, 2, 0), sw(60, 0, 0, 0, 2, 120, AN_RUNNABLE),
             sw(65, 0, 2, 1, 0, 120, AN_SLEEP_S), wake(70, 1, 7, AN_IN_SOFTIRQ, 2, 0),
             sw(72, 0, 0, 0, 2, 120, AN_RUNNABLE), sw(75, 0, 2, 1, 0, 120, AN_SLEEP_S),
             wake(80, 1, 7, AN_IN_TASK, 2, 0), sw(90, 0, 0, 0, 2, 120, AN_RUNNABLE)},
            {{"threads", "1"},
             {"split", "run 28 pre 0 woken 47 S 25 D 0 other 0"},
             {"woken", "4: waker-5 hardirq cpu0 +30, busy-7 task cpu1 +10, waker-5 task cpu0 +5"}}},
        // A thread is followed from its own first event, a switch or any
        // other, and ran from the window's start until then: a switch in or
        // a wakeup names no thread group, so neither makes a thread.
        scenario{"first_seen_mid_window",
                 {sw(20, 0, 0, 0, 1, 120, AN_RUNNABLE), wake(30, 1, 5, AN_IN_TASK, 1, 0),
                  fn(40, 1, 2, 900), sw(50, 0, 1, 1, 0, 120, AN_SLEEP_S),
                  wake(70, 1, 2, AN_IN_TASK, 1, 0), sw(80, 0, 0, 0, 1, 120, AN_RUNNABLE)},
                 {{"threads", "2"},
                  {"split", "run 170 pre 0 woken 10 S 20 D 0 other 0"},
                  {"woken", "1: helper-2 task cpu1 +10"}}},
        // Handlers count on a thread's time only: the hard interrupt nested
        // in a softirq counts apart from it, a vector as a hard interrupt,
        // and nothing counts while another task runs.
        scenario{
            "handlers",
            {fn(0, 0, 1, 900), handler(AN_SOFTIRQ_ENTRY, 10, 0, 1, "TIMER"),
             handler(AN_HARDIRQ_ENTRY, 12, 0, 1, "eth0"), handler(AN_HARDIRQ_EXIT, 14, 0, 1),
             handler(AN_SOFTIRQ_EXIT, 20, 0, 1), handler(AN_HARDIRQ_ENTRY, 30, 0, 1, "local_timer"),
             handler(AN_HARDIRQ_EXIT, 33, 0, 1), handler(AN_HARDIRQ_ENTRY, 40, 1, 7, "eth0", 7),
             handler(AN_HARDIRQ_EXIT, 49, 1, 7, "", 7)},
            {{"handlers", "hard 2:5 soft 1:10; TIMER 1x:10, local_timer 1x:3, eth0 1x:2"}}},
        // System calls by name; one of another number does not end it, and
        // one open at the window's end counts to the end.
        scenario{"syscalls",
                 {sys(AN_SYSCALL, 10, 0, 1, 0, "read"), sys(AN_SYS_EXIT, 20, 0, 1, 1, "write"),
                  sys(AN_SYS_EXIT, 40, 0, 1, 0, "read"), sys(AN_SYSCALL, 50, 0, 1, 0, "read"),
                  sys(AN_SYS_EXIT, 55, 0, 1, 0, "read"), sys(AN_SYSCALL, 80, 0, 1, 1, "write")},
                 {{"syscalls", "read 2x:35, write 1x:20"}}},
        // Longest calls with their self time: a() holds b() and d(), b()
        // holds c(), d() holds e(); another process's call does not count;
        // g(), open at the window's end, counts to it, after b() of the
        // same time, which came first.
        scenario{"longest_calls",
                 {fn(0, 0, 1, 1000, 0xa), fn(10, 0, 1, 990, 0xb), fn(20, 0, 1, 980, 0xc),
                  fn(30, 0, 1, 990, 0xd), fn(40, 0, 1, 980, 0xe), fn(41, 1, 9, 2000, 0xf, 9),
                  sys(AN_SYSCALL, 90, 1, 9, 0, "read"), sys(AN_SYSCALL, 70, 0, 1, 0, "read"),
                  fn(80, 0, 1, 1000, 0x9)},
                 {{"calls", "a:70/10, d:40/10, e:30/30, b:20/10, 9:20/20"}}},
        // Interrupts off from the opener's function at 10 to its last event
        // with them off; an interrupt's entry ends it there (interrupts were
        // on), and its exit ends the handler's own stretch. Preemption off
        // to the switch. The idle task's stretches, and a CPU where no
        // thread ran, do not count.
        scenario{"stretches",
                 {flagged(fn(10, 0, 1, 900, 0x100), true, true),
                  flagged(fn(15, 0, 1, 900, 0x110), true, true),
                  flagged(handler(AN_HARDIRQ_ENTRY, 18, 0, 1), true, false),
                  flagged(handler(AN_HARDIRQ_EXIT, 21, 0, 1), true, false),
                  flagged(fn(30, 0, 1, 900), false, true), sw(40, 0, 1, 1, 0, 120, AN_SLEEP_S),
                  flagged(fn(41, 0, 0, 900, 0x200, 0), true, true),
                  flagged(fn(90, 0, 0, 900, 0x200, 0), true, true),
                  flagged(fn(10, 1, 7, 900, 0x300, 7), true, true),
                  flagged(fn(80, 1, 7, 900, 0x300, 7), true, true)},
                 {{"irqs_off", "cpu0 5 ip 100"}, {"preempt_off", "cpu0 30 ip 100"}}},
        // A preemption-off stretch that began at an event other than a
        // function entry is named by its kind; a time past the window's end
        // counts to its end.
        scenario{"stretch_from_an_event",
                 {sw(5, 0, 0, 0, 1, 120, AN_RUNNABLE),
                  flagged(wake(20, 0, 1, AN_IN_TASK, 2, 0), false, true),
                  flagged(fn(130, 0, 1, 900), false, true)},
                 {{"preempt_off", "cpu0 80 kind 2"},
                  {"split", "run 100 pre 0 woken 0 S 0 D 0 other 0"}}}),
    [](const testing::TestParamInfo<scenario> &info) { return std::string(info.param.name); });

// The histogram's buckets: a window in range lands in its bucket; one at
// the range's end or past it, even by less than a bucket, overflows.
TEST(Histogram, BucketsAWindowOrCountsItAsAnOverflow) {
    struct {
        unsigned long long length_us;
        unsigned int width_us, buckets;
        long long bucket; // -1: an overflow
    } const cases[] = {
        {0, 1, 10000, 0}, {9999, 1, 10000, 9999}, {10000, 1, 10000, -1}, {10005, 1, 10000, -1},
        {19, 20, 5, 0},   {20, 20, 5, 1},         {99, 20, 5, 4},        {100, 20, 5, -1},
        {119, 20, 5, -1}, {~0ULL, 20, 5, -1},     {0, 1, 0, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(hist_bucket(c.length_us, c.width_us, c.buckets), c.bucket)
            << c.length_us << " us in " << c.buckets << " buckets of " << c.width_us;
    }
}

} // namespace
