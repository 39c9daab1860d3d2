/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Windows (window.c): the gettimeofday markers, opening, closing and keeping
 * windows, and what the report shows of them.
 */
#ifndef VORMEK_TRACER_WINDOW_H
#define VORMEK_TRACER_WINDOW_H

#include <linux/sched.h>
#include <linux/types.h>

#include "knobs.h"

struct window_info {
	u64 start_ns, end_ns;	/* trace_clock_local(), as ftrace's "local" clock */
	int cpu;		/* where it opened */
	pid_t opener_pid, closer_pid;	/* thread group ids */
	char opener_comm[TASK_COMM_LEN], closer_comm[TASK_COMM_LEN];
	bool closed_by_exit;	/* the opener's thread group exited */
	bool hooks_changed;	/* open while the wide hooks changed */
	/* The opener as ftrace's latency header shows its task. */
	uid_t opener_uid;
	int opener_nice, opener_policy, opener_rt_prio;
	int knobs[KNOB_COUNT];	/* settings when it opened */
	unsigned long generation;
};

/* What the report shows: a consistent copy, taken under the window lock. */
struct window_view {
	int set;		/* the last kept window's set, or -1 */
	struct window_info w;	/* that window */
	bool open_now;		/* a newer window is open */
	/* Closed windows not kept, by window_report_latency()'s reasons. */
	unsigned long dropped_not_longer, dropped_short, dropped_hooks;
	unsigned long missed_starts;
};

/* At a crash, without waiting for the lock. */
void window_read_view(struct window_view *v, bool crashing);
/* Changes when a newer window starts recording into the set. */
unsigned long window_generation(int set);

int window_init(void);
void window_exit(void);

/*
 * For arm.c, which calls these with its hooks_mutex held: whether the wide
 * hooks are in place as the knobs ask, whether they may be parked, and the
 * window a re-arming start marker asked for.
 */
void window_hooks_ready(bool ready);
/*
 * Around registering or removing wide hooks: a window open meanwhile times
 * the tracer's own code patching, and is dropped when it closes.
 */
void window_hooks_changing(bool changing);
bool window_park(unsigned long idle, unsigned long *wait);
void window_open_rearmed(void);
/* The sched_process_exit probe: the opener's exit closes its window. */
void window_process_exit(void *data, struct task_struct *task);

#endif
