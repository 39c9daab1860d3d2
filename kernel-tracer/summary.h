/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Where the kept window's time went (summary.c): the opener's threads'
 * time split into running, waiting to run and sleeping, what took it, and
 * what may be missing, as "#" lines after the latency block.
 */
#ifndef VORMEK_TRACER_SUMMARY_H
#define VORMEK_TRACER_SUMMARY_H

#include <linux/seq_file.h>

#include "graph.h"
#include "snapshot.h"

struct summary;

/*
 * In process context; rewinds s. Without g (no memory for the calls) it
 * has no longest calls. NULL if there is no memory for it.
 */
struct summary *summary_build(struct snapshot *s, const struct graph *g);
void summary_free(struct summary *sum);
void summary_show(struct seq_file *m, const struct summary *sum);

#endif
