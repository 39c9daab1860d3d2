/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The tracer's knobs under /proc/sys/kernel, in the order the report lists
 * them: X(enumerator, name). This is the one list of their names: the
 * module builds its table and its enum from it, and the VM tests and the
 * bench read it. No includes, so that user-space code can include it too.
 */
#ifndef VORMEK_TRACER_KNOB_LIST_H
#define VORMEK_TRACER_KNOB_LIST_H

#define VT_KNOBS(X) \
	X(K_TRACE_ALL_CPUS, trace_all_cpus) \
	X(K_TRACE_ENABLED, trace_enabled) \
	X(K_TRACE_FREERUNNING, trace_freerunning) \
	X(K_TRACE_PRINT_AT_CRASH, trace_print_at_crash) \
	X(K_TRACE_USER_TRIGGERED, trace_user_triggered) \
	X(K_TRACE_VERBOSE, trace_verbose) \
	X(K_PREEMPT_MAX_LATENCY, preempt_max_latency) \
	X(K_PREEMPT_THRESH, preempt_thresh) \
	X(K_WAKEUP_TIMING, wakeup_timing) \
	X(K_MCOUNT_ENABLED, mcount_enabled)

#endif
