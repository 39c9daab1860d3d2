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
/* At a crash (m NULL) without the knob writes: the log has room for little. */
void format_header(struct seq_file *m, const struct snapshot *s);
/* An event of CPU s->cpu; line is scratch space of FORMAT_LINE_MAX. */
void format_event(struct seq_file *m, const struct snapshot *s,
		  const struct event *e, char *line);

#endif
