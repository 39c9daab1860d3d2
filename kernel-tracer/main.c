// SPDX-License-Identifier: GPL-2.0
/*
 * vormek_tracer: a user-triggered latency tracer for stock kernels, driven
 * through the interface of CONFIG_LATENCY_TRACING: ten knobs under
 * /proc/sys/kernel, gettimeofday markers around the traced window, and the
 * report in /proc/latency_trace. Loaded with its knobs at 0, and once no
 * window has been used for disarm_ms, it costs next to nothing: only the
 * gettimeofday system call is hooked.
 *
 * The parts, each owning its state and load parameters:
 *   knobs.c     the knobs and the log of their writes
 *   window.c    the markers: opening, closing and keeping windows
 *   hist.c      the histogram of every window's length
 *   record.c    the per-CPU event buffers and the probes that fill them
 *   arm.c       registering, parking and re-arming the probes
 *   snapshot.c  a consistent copy of what the report shows, merged by time
 *   format.c    the report's text
 *   report.c    /proc/latency_trace, latency_graph, latency_slices and
 *               the dump at a crash
 *   graph.c     the calls (callgraph.c's reconstruction) and their lines
 *   summary.c   where the kept window's time went
 * Calls run one way: report uses snapshot, format, graph and summary;
 * summary reads graph and uses format's names; snapshot reads window,
 * arm, record and knobs; arm calls window, record and knobs; window calls
 * record, hist and knobs; record, hist and knobs call no other part. The
 * one call up, window.c's start marker asking arm.c for a re-arm, is
 * declared in arm.h.
 * Knob writes reach arming, and the histogram's reset, through the
 * callback wired here.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/module.h>

#include "arm.h"
#include "hist.h"
#include "knobs.h"
#include "record.h"
#include "report.h"
#include "window.h"

/* preempt_max_latency written 0 starts the histogram afresh too. */
static int knob_written(enum knob k)
{
	if (k == K_PREEMPT_MAX_LATENCY && knob(k) == 0)
		hist_reset();
	return arm_knob_written(k);
}

static int __init tracer_init(void)
{
	int ret;

	/* Arming first: it checks its parameter and allocates nothing. */
	ret = arm_init();
	if (ret)
		return ret;
	ret = record_init();
	if (ret)
		return ret;
	ret = hist_init();
	if (ret)
		goto free_record;
	ret = window_init();
	if (ret)
		goto drop_hist;
	ret = report_init();
	if (ret)
		goto drop_window;
	ret = knobs_register(knob_written);
	if (ret)
		goto drop_report;
	pr_info("loaded: %u events per CPU, wakeup_timing %s, disarm_ms %u\n",
		record_buffer_size(),
		knob_offered(K_WAKEUP_TIMING) ? "offered" : "absent",
		arm_disarm_ms());
	return 0;

drop_report:
	report_exit();
drop_window:
	window_exit();
drop_hist:
	hist_exit();
free_record:
	record_exit();
	return ret;
}

static void __exit tracer_exit(void)
{
	knobs_unregister();
	report_exit();
	window_exit();
	arm_exit();
	hist_exit();
	record_exit();
	knobs_release();
	pr_info("unloaded\n");
}

module_init(tracer_init);
module_exit(tracer_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("User-triggered latency tracer with the CONFIG_LATENCY_TRACING interface");
MODULE_VERSION("0.2.0");
