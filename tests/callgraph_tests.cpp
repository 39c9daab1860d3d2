// The tracer's call reconstruction (kernel-tracer/callgraph.c), built for
// user space, on synthetic event sequences whose calls are known.
extern "C" {
#include "callgraph.h"
}

#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// One event and what the reconstruction must make of it: for a call its
// depth, end (-1: open at the window's end, 100) and whether it has
// children; for every event the calls it ended, innermost first.
struct step {
    cg_kind kind;
    cg_stack stack;
    int pid, cpu;
    long long time;
    unsigned long sp;
    unsigned long fn, caller; // 0: unknown
    int depth;
    long long end;
    bool children;
    std::string closes;
    long long child_ns = -1; // the time of its children; -1: not checked
};

struct scenario {
    const char *name;
    // cppcheck-suppress unusedStructMember ; read through GetParam()
    std::vector<step> steps;
};

constexpr long long window_end = 100;

void PrintTo(const scenario &s, std::ostream *os) {
    *os << s.name;
}

class Reconstruction : public testing::TestWithParam<scenario> {};

TEST_P(Reconstruction, GivesEachCallItsNestingAndEnd) {
    const std::vector<step> &steps = GetParam().steps;
    auto state = std::make_unique<cg_state>();
    std::vector<cg_call> calls(steps.size());
    cg_begin(state.get(), calls.data(), static_cast<unsigned int>(calls.size()));
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const step &s = steps[i];
        const cg_input in{s.time,
                          s.sp,
                          s.fn,
                          s.caller,
                          s.pid,
                          s.pid,
                          s.cpu,
                          static_cast<unsigned char>(s.kind),
                          static_cast<unsigned char>(s.stack),
                          0};
        cg_feed(state.get(), static_cast<unsigned int>(i), &in);
    }
    cg_end(state.get(), window_end);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        const step &s = steps[i];
        std::string closes;
        for (unsigned int c = calls[i].first_closed; c != CG_NONE; c = calls[c].next_closed) {
            closes += (closes.empty() ? "" : ",") + std::to_string(c);
        }
        EXPECT_EQ(closes, s.closes);
        if (s.kind != CG_CALL) {
            continue;
        }
        EXPECT_EQ(calls[i].depth, s.depth);
        EXPECT_EQ((calls[i].flags & CG_OPEN) != 0, s.end < 0);
        EXPECT_EQ(calls[i].end, s.end < 0 ? window_end : s.end);
        EXPECT_EQ((calls[i].flags & CG_CHILDREN) != 0, s.children);
        if (s.child_ns >= 0) {
            EXPECT_EQ(calls[i].child_ns, s.child_ns);
        }
    }
    EXPECT_EQ(state->untracked, 0U);
    // The open calls, chained, are those expected open.
    std::set<unsigned int> open;
    std::set<unsigned int> expected;
    for (unsigned int c = state->open_first; c != CG_NONE; c = calls[c].next_closed) {
        open.insert(c);
    }
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind == CG_CALL && steps[i].end < 0) {
            expected.insert(static_cast<unsigned int>(i));
        }
    }
    EXPECT_EQ(open, expected);
    EXPECT_EQ(state->open, expected.size());
}

// Task 1 on CPU 0 unless named; stack pointers fall as calls nest.
step call(long long t, unsigned long sp, int depth, long long end, bool children,
          std::string closes = "", cg_stack stack = CG_TASK, int pid = 1, int cpu = 0) {
    return {CG_CALL, stack, pid, cpu, t, sp, 0, 0, depth, end, children, std::move(closes)};
}
// A call of function fn from function caller.
step call_from(unsigned long fn, unsigned long caller, long long t, unsigned long sp, int depth,
               long long end, bool children, std::string closes = "") {
    step s = call(t, sp, depth, end, children, std::move(closes));
    s.fn = fn;
    s.caller = caller;
    return s;
}
// The same, its children's time checked.
step with_children_ns(step s, long long ns) {
    s.child_ns = ns;
    return s;
}
step other(cg_kind kind, long long t, unsigned long sp, std::string closes = "",
           cg_stack stack = CG_TASK, int pid = 1, int cpu = 0) {
    return {kind, stack, pid, cpu, t, sp, 0, 0, 0, 0, false, std::move(closes)};
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Reconstruction,
    testing::Values(
        // a() { b() { c(); } d(); ...: d's entry at b's level ends c, then b.
        scenario{"nesting",
                 {with_children_ns(call(0, 1000, 0, -1, true), 99),
                  with_children_ns(call(1, 990, 1, 3, true), 1), call(2, 980, 2, 3, false),
                  call(3, 990, 1, -1, false, "2,1")}},
        // p() calls x(), moves its stack pointer down, then calls y(): y's
        // caller tells that x returned; z(), called from y, nests.
        scenario{"caller_moved_down",
                 {call_from(10, 0, 0, 1000, 0, -1, true), call_from(20, 10, 1, 990, 1, 2, false),
                  call_from(30, 10, 2, 970, 1, -1, true, "1"),
                  call_from(40, 30, 3, 960, 2, -1, false)}},
        // A tail call enters with its caller's stack pointer: a sibling.
        scenario{"tail_call", {call(0, 1000, 0, 5, false), call(5, 1000, 0, -1, false, "0")}},
        // A handler on the interrupt stack inside a(): its exit ends its
        // calls; a call left open there ends at the task's next event,
        // which also ends a()'s child b().
        scenario{"interrupt",
                 {call(0, 1000, 0, -1, true), other(CG_IRQ_ENTER, 1, 500, "", CG_IRQ),
                  call(2, 480, 0, 4, true, "", CG_IRQ), call(3, 470, 1, 4, false, "", CG_IRQ),
                  other(CG_IRQ_EXIT, 4, 490, "3,2", CG_IRQ), call(5, 990, 1, 7, false),
                  call(6, 480, 0, 7, false, "", CG_IRQ), call(7, 990, 1, -1, false, "6,5")}},
        // A handler on the task's own stack begins at depth 2, inside b();
        // h()'s entry above b's frame ends b, so the handler began at depth
        // 1: its exit ends h(), and e() is a()'s child, not h()'s.
        scenario{"handler_mark_follows_returns",
                 {with_children_ns(call(0, 1000, 0, -1, true), 98), call(1, 990, 1, 3, false),
                  other(CG_IRQ_ENTER, 2, 985), call(3, 995, 1, 4, false, "1"),
                  other(CG_IRQ_EXIT, 4, 995, "3"), call(5, 990, 1, -1, false)}},
        // A page fault in b() nests on the task stack, below b's frame.
        scenario{"page_fault",
                 {call(0, 1000, 0, -1, true), call(1, 990, 1, -1, true), call(2, 900, 2, 4, true),
                  call(3, 890, 3, 4, false), call(4, 980, 2, -1, false, "3,2")}},
        // a() switches out on CPU 0 and comes back on CPU 1: its time
        // includes the time away; another task's calls leave it open; the
        // system call's exit ends it.
        scenario{"switch",
                 {call(0, 1000, 0, 6, true), other(CG_EVENT, 1, 900),
                  call(2, 2000, 0, -1, false, "", CG_TASK, 2),
                  call(3, 950, 1, 6, false, "", CG_TASK, 1, 1),
                  other(CG_SYSCALL, 6, 1100, "3,0", CG_TASK, 1, 1)}},
        // An NMI's calls end at the next event on a lower stack.
        scenario{"nmi",
                 {call(0, 1000, 0, -1, true), call(1, 300, 0, 3, true, "", CG_EXCEPTION),
                  call(2, 290, 1, 3, false, "", CG_EXCEPTION), call(3, 990, 1, -1, false, "2,1")}},
        // The idle tasks share pid 0 and are told apart by CPU.
        scenario{"idle",
                 {call(0, 1000, 0, -1, true, "", CG_TASK, 0, 0),
                  call(1, 1000, 0, -1, false, "", CG_TASK, 0, 1),
                  call(2, 990, 1, -1, false, "", CG_TASK, 0, 0)}}),
    [](const testing::TestParamInfo<scenario> &info) { return std::string(info.param.name); });

// function_graph's marks of long calls, each from just over its bound.
TEST(DurationMark, MarksALongCallAsFunctionGraphDoes) {
    const struct {
        long long ns;
        char mark;
    } cases[] = {
        {0, ' '},         {10000, ' '},      {10001, '+'},      {100000, '+'},   {100001, '!'},
        {1000000, '!'},   {1000001, '#'},    {10000000, '#'},   {10000001, '*'}, {100000000, '*'},
        {100000001, '@'}, {1000000000, '@'}, {1000000001, '$'},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(cg_duration_mark(c.ns), c.mark) << c.ns << " ns";
    }
}

} // namespace
