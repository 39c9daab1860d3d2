/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The histogram of window lengths (hist.c): every window closed since
 * preempt_max_latency was last written 0, or since loading, in
 * /proc/latency_hist, laid out as cyclictest's --histogram.
 */
#ifndef VORMEK_TRACER_HIST_H
#define VORMEK_TRACER_HIST_H

#include <linux/types.h>

/* Checks the load parameters, allocates the counters, adds the file. */
int hist_init(void);
void hist_exit(void);

/*
 * Counts a closed window on this CPU's counters: no lock, no allocation.
 * With interrupts off (window.c's lock).
 */
void hist_add(u64 length_us);
/* Starts counting afresh. Process context. */
void hist_reset(void);

#endif
