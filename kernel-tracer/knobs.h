/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The knobs under /proc/sys/kernel and the log of their writes (knobs.c).
 * Their values change only through a write, or through
 * knob_new_max_latency() when a window is kept.
 */
#ifndef VORMEK_TRACER_KNOBS_H
#define VORMEK_TRACER_KNOBS_H

#include <linux/sched.h>
#include <linux/types.h>

#include "knob_list.h"

enum knob {
#define VT_KNOB_ENUM(k, name) k,
	VT_KNOBS(VT_KNOB_ENUM)
#undef VT_KNOB_ENUM
	KNOB_COUNT
};

/* A knob's value now, and its name under /proc/sys/kernel. Any context. */
int knob(enum knob k);
const char *knob_name(enum knob k);
/* Whether the load parameters offer the knob. */
bool knob_offered(enum knob k);
/* A kept window's length becomes preempt_max_latency. Any context. */
void knob_new_max_latency(u64 us);

#define WRITE_LOG_SIZE 256

struct knob_write {
	u64 time_ns;
	int knob;
	int value;
	pid_t pid;
	char comm[TASK_COMM_LEN];
};

struct write_log {
	unsigned int count, lost;
	struct knob_write entry[WRITE_LOG_SIZE];
};

/* A copy of the write log; at a crash without waiting for its lock. */
void knobs_copy_log(struct write_log *to, bool crashing);

/*
 * Registers the knobs. on_write is told of each accepted write, in the
 * writer's process context, and its error is the write's.
 */
typedef int (*knob_written_fn)(enum knob k);
int knobs_register(knob_written_fn on_write);
void knobs_unregister(void);
/* Last at unloading: the pending poll wakeup runs, the pollers leave. */
void knobs_release(void);

#endif
