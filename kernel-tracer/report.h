/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The report (report.c): /proc/latency_trace, and the same text in the
 * kernel log at a panic or oops while trace_print_at_crash is 1.
 */
#ifndef VORMEK_TRACER_REPORT_H
#define VORMEK_TRACER_REPORT_H

int report_init(void);
void report_exit(void);

#endif
