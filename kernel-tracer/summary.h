/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Where the kept window's time went (summary.c): analysis.c fed from the
 * report's walk of the snapshot, and its figures printed as "#" lines
 * after the latency block.
 */
#ifndef VORMEK_TRACER_SUMMARY_H
#define VORMEK_TRACER_SUMMARY_H

#include <linux/seq_file.h>

#include "callgraph.h"
#include "event.h"
#include "snapshot.h"

struct summary;

/* In process context, for s's window. NULL if there is no memory for it. */
struct summary *summary_alloc(const struct snapshot *s);
/*
 * The events in time order, the one on cpu; calls (NULL: no memory for
 * them) with the chain of calls it ended from closed.
 */
void summary_feed(struct summary *sum, const struct event *e, int cpu,
		  const struct cg_call *calls, unsigned int closed);
/* After the last event: the open calls' chain, and the calls' counts. */
void summary_end(struct summary *sum, const struct cg_call *calls,
		 unsigned int open, unsigned int open_calls,
		 unsigned long long untracked);
void summary_free(struct summary *sum);
void summary_show(struct seq_file *m, const struct summary *sum);

#endif
