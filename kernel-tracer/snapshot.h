/* SPDX-License-Identifier: GPL-2.0 */
/*
 * A snapshot of what the report shows (snapshot.c): copies of the kept
 * window, the counters, the hooks and the write log, taken from the parts
 * that own them, and the kept window's per-CPU events merged by time.
 */
#ifndef VORMEK_TRACER_SNAPSHOT_H
#define VORMEK_TRACER_SNAPSHOT_H

#include <linux/types.h>

#include "arm.h"
#include "event.h"
#include "knobs.h"
#include "window.h"

struct snapshot {
	struct window_view view;	/* view.set < 0: no window kept */
	struct arm_state hooks;
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
