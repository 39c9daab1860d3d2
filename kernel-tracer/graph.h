/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The kept window's calls (graph.c): callgraph.c's reconstruction run over
 * a snapshot when a report is opened, and the lines it gives: ftrace's
 * function_graph text (/proc/latency_graph) and Perfetto's atrace slices
 * (/proc/latency_slices).
 */
#ifndef VORMEK_TRACER_GRAPH_H
#define VORMEK_TRACER_GRAPH_H

#include <linux/seq_file.h>

#include "callgraph.h"
#include "snapshot.h"

struct graph;

/* In process context; rewinds s. NULL if there is no memory for it. */
struct graph *graph_build(struct snapshot *s);
void graph_free(struct graph *g);
/* The calls by event index, n of them; the counts the header shows. */
const struct cg_call *graph_calls(const struct graph *g, unsigned int *n);
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
