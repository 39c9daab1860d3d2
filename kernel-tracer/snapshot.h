/* SPDX-License-Identifier: GPL-2.0 */
/*
 * A snapshot of what the report shows (snapshot.c): copies of the kept
 * window, the counters, the hooks and the write log, taken from the parts
 * that own them, and the kept window's per-CPU events merged by time.
 */
#ifndef VORMEK_TRACER_SNAPSHOT_H
#define VORMEK_TRACER_SNAPSHOT_H

#include <linux/types.h>

#include <linux/sched.h>

#include "event.h"
#include "knobs.h"

/* The kept window, as the report shows it. */
struct shown_window {
	u64 start_ns, end_ns;	/* on ftrace's "local" clock */
	int cpu;		/* where it opened */
	pid_t opener_pid, closer_pid;	/* thread group ids */
	char opener_comm[TASK_COMM_LEN], closer_comm[TASK_COMM_LEN];
	bool closed_by_exit;	/* the opener's thread group exited */
	uid_t opener_uid;
	int opener_nice, opener_policy, opener_rt_prio;
	int knobs[KNOB_COUNT];	/* settings when it opened */
	unsigned long generation;
};

/* The windows: the kept one, and those closed and not kept. */
struct shown_view {
	int set;		/* the kept window's set, or -1 */
	struct shown_window w;
	bool open_now;		/* a newer window is open */
	unsigned long dropped_not_longer, dropped_short, dropped_hooks;
	unsigned long missed_starts;
};

/* Which hooks are in place. */
struct shown_hooks {
	bool events, wakeups, functions, parked;
	int functions_error;
};

struct snapshot {
	struct shown_view view;	/* view.set < 0: no window kept */
	struct shown_hooks hooks;
	struct write_log log;
	unsigned int buffer_size;
	u64 kinds[EV_KINDS], kept, lost;
	/*
	 * The merge: events passed so far, the next event's CPU, and each
	 * CPU's next and end.
	 */
	loff_t index;
	int cpu;
	u64 cursor[];		/* next[nr_cpu_ids], then end[nr_cpu_ids] */
};

/* The size to allocate for one. */
size_t snapshot_size(void);
/*
 * Copies what the report shows; at a crash without waiting for locks. The
 * events are counted by kind then; otherwise by the reader's one walk,
 * through snapshot_count, before the header is shown.
 */
void snapshot_take(struct snapshot *s, bool crashing);
void snapshot_count(struct snapshot *s, const struct event *e);
/*
 * The merge: back to the first event, the next event (NULL at the end, its
 * CPU in s->cpu), past the event the last peek gave.
 */
void snapshot_rewind(struct snapshot *s);
struct event *snapshot_peek(struct snapshot *s);
void snapshot_advance(struct snapshot *s);
/* A newer window started recording into the snapshot's set. */
bool snapshot_stale(const struct snapshot *s);

#endif
