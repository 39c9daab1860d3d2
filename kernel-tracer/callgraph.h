/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Call durations from function entries alone (callgraph.c): plain C with no
 * kernel headers, built into the module and into a user-space test.
 *
 * Each entry carries the traced function's stack pointer at entry and the
 * stack it is on. Stacks grow down, so on one stack a later event at or
 * above an open call's entry stack pointer means that call has returned.
 * A caller may move its stack pointer down between two calls, so an entry
 * called from a function further down the open calls also ends those above
 * that function.
 * Interrupt and system-call boundaries end calls too. A call thus ends at
 * the next event on its stack at its depth or above: its duration is a
 * bound, exact up to its caller's code before that event.
 */
#ifndef VORMEK_TRACER_CALLGRAPH_H
#define VORMEK_TRACER_CALLGRAPH_H

/* The stack an event ran on, as the module records it. */
enum cg_stack {
	CG_TASK,	/* the task's own stack */
	CG_IRQ,		/* the CPU's interrupt stack */
	CG_EXCEPTION,	/* an NMI or exception stack */
	CG_STACKS_KINDS
};

/* What an event does to the calls on its stack. */
enum cg_kind {
	CG_CALL,	/* a function entry */
	CG_EVENT,	/* another event, recorded at its own stack pointer */
	CG_IRQ_ENTER,	/* an interrupt or softirq handler begins */
	CG_IRQ_EXIT,	/* and ends: its calls end */
	CG_SYSCALL,	/* a system call's entry or exit: the stack is empty */
	CG_IGNORE	/* recorded on another task's behalf: no stack */
};

struct cg_input {
	long long time;		/* ns */
	unsigned long sp;
	/*
	 * A call's function and the function it was called from, each by its
	 * start address (0: unknown).
	 */
	unsigned long fn, caller;
	int pid;
	int tgid;		/* carried to the call, for its reader */
	int cpu;
	unsigned char kind;	/* enum cg_kind */
	unsigned char stack;	/* enum cg_stack */
	unsigned long ip;	/* a call's address as recorded, for its reader */
};

#define CG_NONE 0xffffffffu

/* A call's flags. */
#define CG_CHILDREN	0x01	/* other calls nested in it */
#define CG_OPEN		0x02	/* still open when the window closed */
#define CG_UNTRACKED	0x04	/* no room to track it: shown as open */
/* Bits 0x40 and 0x80 are left to the caller, for any event. */

/*
 * One per event, by its index in time order. For a call: its start, end,
 * depth and flags. For every event: the calls it ended, innermost first,
 * chained through next_closed.
 */
struct cg_call {
	long long start, end;
	long long child_ns;	/* the time of the calls nested directly in it */
	unsigned long ip;
	int pid, tgid, cpu;
	unsigned int first_closed;
	unsigned int next_closed;
	unsigned short depth;
	unsigned char flags;
	unsigned char is_call;
	unsigned char stack;	/* enum cg_stack */
};

#define CG_MAX_STACKS	1024	/* tasks' and CPUs' stacks in one window */
#define CG_MAX_FRAMES	16384	/* calls open at once, on all stacks */
#define CG_MAX_MARKS	8	/* nested handlers on one stack */

struct cg_frame {
	unsigned long sp, fn;
	unsigned int call;	/* the entry's event index */
	unsigned int below;	/* the frame under it, or CG_NONE */
};

struct cg_stack_state {
	unsigned long long key;	/* kind, CPU and pid; 0: unused */
	unsigned int top;	/* frame index, or CG_NONE */
	unsigned short depth;
	unsigned char marks;
	unsigned short mark[CG_MAX_MARKS];	/* depths at handler entries */
};

struct cg_state {
	struct cg_call *calls;
	unsigned int n;
	unsigned int free;	/* first free frame, chained through below */
	unsigned int open_first;	/* after cg_end: the open calls */
	unsigned int ncalls;	/* function entries fed */
	unsigned int open;	/* after cg_end: calls open, untracked ones too */
	unsigned long long untracked;
	struct cg_stack_state stacks[CG_MAX_STACKS];
	struct cg_frame frames[CG_MAX_FRAMES];
};

/* Starts a window of n events; calls[] has room for n. */
void cg_begin(struct cg_state *s, struct cg_call *calls, unsigned int n);
/* Event index, in time order. */
void cg_feed(struct cg_state *s, unsigned int index, const struct cg_input *in);
/*
 * The window closed at time end: calls still open are marked CG_OPEN and
 * chained from open_first, innermost first on each stack.
 */
void cg_end(struct cg_state *s, long long end);

/*
 * function_graph's mark of a long call in its duration column: '$' over
 * 1 s, '@' over 100 ms, '*' over 10 ms, '#' over 1 ms, '!' over 100 us,
 * '+' over 10 us, else ' '.
 */
char cg_duration_mark(long long ns);

#endif
