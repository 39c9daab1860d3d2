/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The report's text (format.c), in the format of ftrace's trace file: the
 * header and one line per event. Each line goes to a seq_file, or with m
 * NULL to the kernel log.
 */
#ifndef VORMEK_TRACER_FORMAT_H
#define VORMEK_TRACER_FORMAT_H

#include <linux/seq_file.h>

#include "snapshot.h"

#define FORMAT_LINE_MAX 384

__printf(2, 3) void format_line(struct seq_file *m, const char *fmt, ...);
/*
 * At a crash (m NULL) without the knob writes: the log has room for little.
 * With legend, ftrace's column legend ends it. In two parts, for what
 * follows the latency block: its start, up to that block, and the rest.
 */
void format_header(struct seq_file *m, const struct snapshot *s, bool legend);
void format_header_start(struct seq_file *m, const struct snapshot *s);
void format_header_rest(struct seq_file *m, const struct snapshot *s,
			bool legend);
void format_legend(struct seq_file *m);
/* An event of CPU s->cpu; line is scratch space of FORMAT_LINE_MAX. */
void format_event(struct seq_file *m, const struct snapshot *s,
		  const struct event *e, char *line);
/* What follows the time in an event's line, into line. */
void format_body(const struct snapshot *s, const struct event *e, char *line);
/* A line in ftrace's format on CPU s->cpu, with e's flags and time. */
void format_ftrace_line(struct seq_file *m, const struct snapshot *s,
			const struct event *e, const char *comm, pid_t pid,
			const char *body);

#endif
