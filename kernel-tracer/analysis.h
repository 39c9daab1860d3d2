/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Where the kept window's time went (analysis.c): plain C with no kernel
 * headers, fed the window's events one at a time in time order, built into
 * the module and into a user-space test. It works the figures out and
 * prints nothing; summary.c prints them.
 */
#ifndef VORMEK_TRACER_ANALYSIS_H
#define VORMEK_TRACER_ANALYSIS_H

#include "callgraph.h"

#define AN_COMM		16	/* a task's name, with its NUL */
#define AN_NAME		32	/* a tallied name, with its NUL */
#define AN_TALLY	32	/* names tallied per list; the rest are "others" */
#define AN_THREADS	64	/* threads of the opener followed */
#define AN_TOP		3	/* entries ranked per list */
#define AN_TOP_CALLS	5

/* What an event is, as far as the analysis cares. */
enum an_kind {
	AN_FUNCTION,
	AN_SWITCH,
	AN_WAKEUP,	/* the event's task wakes another */
	AN_SYSCALL,
	AN_SYS_EXIT,
	AN_HARDIRQ_ENTRY,	/* a hard interrupt's handler or vector */
	AN_HARDIRQ_EXIT,
	AN_SOFTIRQ_ENTRY,
	AN_SOFTIRQ_EXIT,
	AN_OTHER	/* recorded on another task's behalf */
};

/* The context an event ran in. */
enum an_context { AN_IN_TASK, AN_IN_SOFTIRQ, AN_IN_HARDIRQ };

/* How a task left its CPU: still runnable, or asleep in a state. */
enum an_sleep { AN_SLEEP_S, AN_SLEEP_D, AN_SLEEP_OTHER, AN_SLEEP_KINDS,
		AN_RUNNABLE = AN_SLEEP_KINDS };

/* The stretches followed per CPU. */
enum an_off { AN_IRQS_OFF, AN_PREEMPT_OFF, AN_OFF_KINDS };

struct an_input {
	long long time;		/* ns since the window opened */
	int cpu;
	unsigned char kind;	/* enum an_kind */
	unsigned char origin;	/* the recorded kind, handed back for its name */
	unsigned char context;	/* enum an_context */
	unsigned char irqs_off, preempt_off;
	int pid, tgid;
	const char *comm;
	unsigned long ip;	/* a function entry's */
	union {
		struct {
			int next_pid, next_prio;
			const char *next_comm;
			unsigned char prev;	/* enum an_sleep */
		} sw;
		struct {
			int pid, cpu;	/* the woken task, its target CPU */
		} wake;
		struct {
			long nr;
			const char *name;	/* a static string */
		} sys;
		const char *handler;	/* a handler entry's name */
	};
};

/* Time and count per name (and task, for what ran instead). */
struct an_tally {
	char name[AN_NAME];
	int pid;		/* a task's, or -1 */
	int prio;
	unsigned int count;
	unsigned long long ns;
};

/* A tally list, and its AN_TOP longest entries (-1 past the last). */
struct an_list {
	struct an_tally entry[AN_TALLY + 1];
	int top[AN_TOP];
};

struct an_wakeup {
	char comm[AN_COMM];	/* the waker */
	int pid;
	unsigned char context;	/* enum an_context */
	int cpu;		/* where the waker ran */
	unsigned long long at, delay;	/* delay: until the woken ran */
};

struct an_call {
	unsigned long ip;
	unsigned long long ns, self;
	unsigned int index;	/* its entry's, which breaks ties */
};

struct an_longest {
	unsigned long long ns;
	unsigned long ip;	/* the function it began in, or 0 */
	unsigned char origin;	/* else the recorded kind it began at */
	int cpu;
};

/* The figures, for the opener's threads together. */
struct an_summary {
	int opener;		/* thread group id */
	unsigned long long length;
	unsigned int threads, wakeups, hardirqs, softirqs;
	unsigned long long running, preempted, woken;
	unsigned long long sleeping[AN_SLEEP_KINDS];
	unsigned long long hardirq_ns, softirq_ns;
	struct an_list instead, handlers, syscalls;
	struct an_wakeup wake[AN_TOP];	/* the latest to run, latest first */
	struct an_call call[AN_TOP_CALLS];	/* ns 0 past the last */
	struct an_longest off[AN_OFF_KINDS];	/* ns 0: none seen */
};

enum an_thread_state { AN_UNSEEN, AN_RUNNING, AN_WAITING, AN_SLEEPING };

struct an_thread {
	int pid;
	unsigned char state;	/* enum an_thread_state */
	unsigned char sleep;	/* while sleeping: enum an_sleep */
	unsigned char woken;	/* while waiting: woken, not preempted */
	int cpu;		/* where it runs, or the CPU it waits for */
	unsigned long long since;
	long sys_nr;		/* its open system call, or -1 */
	const char *sys_name;
	unsigned long long sys_since;
	struct an_wakeup wakeup;	/* while woken: by whom */
};

/* A stretch with interrupts or preemption off, as events show it. */
struct an_stretch {
	unsigned char open;
	int pid;
	unsigned long long at, last;	/* its first and last event */
	unsigned long ip;
	unsigned char origin;
};

/* A handler running on the CPU, timed if it ran on a thread's time. */
struct an_handler {
	unsigned char on_thread;
	unsigned long long at;
	char name[AN_NAME];
};

struct an_cpu {
	/* The task on it now. */
	unsigned char seen;
	int pid, prio;
	char comm[AN_COMM];
	unsigned long long since;
	unsigned char thread_ran;	/* one of the opener's threads ran here */
	/* Its handlers now. */
	struct an_handler hardirq, softirq;
	/* Its stretches now, and the longest of each. */
	struct an_stretch off[AN_OFF_KINDS];
	struct an_longest longest[AN_OFF_KINDS];
};

struct an_state {
	struct an_summary sum;
	struct an_thread thread[AN_THREADS];
	unsigned int ncpus;
	struct an_cpu *cpu;
};

/*
 * Starts a window of length ns opened by thread group opener, on ncpus
 * CPUs whose state cpus[] holds.
 */
void an_begin(struct an_state *a, struct an_cpu *cpus, unsigned int ncpus,
	      int opener, unsigned long long length);
void an_feed(struct an_state *a, const struct an_input *in);
/* The calls callgraph.c ended, chained from first through next_closed. */
void an_feed_calls(struct an_state *a, const struct cg_call *calls,
		   unsigned int first);
/* The window closed: every stretch ends. */
void an_end(struct an_state *a);

const struct an_summary *an_figures(const struct an_state *a);
/* The kth longest entry of a list, or NULL. */
const struct an_tally *an_top(const struct an_list *l, int k);

#endif
