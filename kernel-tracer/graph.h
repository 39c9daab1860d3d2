/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The kept window's calls (graph.c): callgraph.c's reconstruction, fed the
 * snapshot's events when a report is opened, and the lines it gives: ftrace's
 * function_graph text (/proc/latency_graph) and Perfetto's atrace slices
 * (/proc/latency_slices).
 */
#ifndef VORMEK_TRACER_GRAPH_H
#define VORMEK_TRACER_GRAPH_H

#include <linux/seq_file.h>

#include "callgraph.h"
#include "snapshot.h"

struct graph;

/*
 * In process context, for n events; printed: for the lines as well as the
 * calls. NULL if there is no memory for it.
 */
struct graph *graph_alloc(unsigned int n, bool printed);
void graph_free(struct graph *g);
/*
 * The events in time order, the one at index on cpu: gives the first of
 * the calls it ended (CG_NONE: none), chained through next_closed.
 */
unsigned int graph_feed(struct graph *g, const struct event *e, int cpu,
			unsigned int index);
/* The window ended length ns after it opened: gives the open calls' chain. */
unsigned int graph_end(struct graph *g, u64 length);
/* The calls by event index; the counts the header shows. */
const struct cg_call *graph_calls(const struct graph *g);
void graph_counts(const struct graph *g, unsigned int *open,
		  unsigned long long *untracked);

/* After format_header: how ends are found, the counts and the legend. */
void graph_header(struct seq_file *m, const struct graph *g, bool slices);
/*
 * The lines of the event e at s's position (index s->index, CPU s->cpu):
 * the ends of the calls it ended, then its own. line is scratch space of
 * FORMAT_LINE_MAX.
 */
void graph_show(struct seq_file *m, const struct graph *g,
		const struct snapshot *s, const struct event *e, char *line);
void graph_show_slices(struct seq_file *m, const struct graph *g,
		       const struct snapshot *s, const struct event *e,
		       char *line);
/* After the last event: the ends of the calls still open. */
void graph_show_end(struct seq_file *m, const struct graph *g,
		    const struct snapshot *s);

#endif
