// SPDX-License-Identifier: GPL-2.0
/*
 * vormek_tracer: a user-triggered latency tracer for stock kernels, driven
 * through the interface of CONFIG_LATENCY_TRACING: ten knobs under
 * /proc/sys/kernel, gettimeofday markers around the traced window, and the
 * report in /proc/latency_trace. Loaded with its knobs at 0, and once no
 * window has been used for disarm_ms, it costs next to nothing: only the
 * gettimeofday system call is hooked.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/log2.h>
#include <linux/module.h>
#include <linux/moduleparam.h>

#include "tracer.h"

bool param_wakeup_timing = true;
module_param_named(wakeup_timing, param_wakeup_timing, bool, 0444);
MODULE_PARM_DESC(wakeup_timing, "Offer the wakeup_timing knob (default: yes; no acts as a kernel without it)");

char *param_omit = "";
module_param_named(omit, param_omit, charp, 0444);
MODULE_PARM_DESC(omit, "Comma-separated knobs to leave out (for tests)");

bool param_mcount_unreadable;
module_param_named(mcount_unreadable, param_mcount_unreadable, bool, 0444);
MODULE_PARM_DESC(mcount_unreadable, "Make mcount_enabled write-only, even for root (for tests)");

bool param_report_unreadable;
module_param_named(report_unreadable, param_report_unreadable, bool, 0444);
MODULE_PARM_DESC(report_unreadable, "Refuse to open /proc/latency_trace (for tests)");

unsigned int buffer_size = 16384;
module_param(buffer_size, uint, 0444);
MODULE_PARM_DESC(buffer_size, "Events kept per CPU and window, rounded up to a power of two (default 16384)");

unsigned int crash_events = 500;
module_param(crash_events, uint, 0644);
MODULE_PARM_DESC(crash_events, "Events written to the kernel log at a crash, the last ones (default 500)");

unsigned int disarm_ms = 1000;
module_param(disarm_ms, uint, 0444);
MODULE_PARM_DESC(disarm_ms, "Milliseconds without a window before the hooks are removed, up to 3600000 (default 1000; 0 keeps them)");

#define BUFFER_MIN 16U
#define BUFFER_MAX (1U << 24)
#define DISARM_MAX 3600000U

static int __init tracer_init(void)
{
	int ret;

	if (buffer_size < BUFFER_MIN || buffer_size > BUFFER_MAX) {
		pr_err("buffer_size=%u is out of range (%u to %u events per CPU)\n",
		       buffer_size, BUFFER_MIN, BUFFER_MAX);
		return -EINVAL;
	}
	if (disarm_ms > DISARM_MAX) {
		pr_err("disarm_ms=%u is out of range (0 to %u)\n", disarm_ms,
		       DISARM_MAX);
		return -EINVAL;
	}
	buffer_size = roundup_pow_of_two(buffer_size);
	ret = record_init();
	if (ret)
		return ret;
	ret = window_init();
	if (ret)
		goto free_record;
	ret = report_init();
	if (ret)
		goto drop_window;
	ret = knobs_register();
	if (ret)
		goto drop_report;
	pr_info("loaded: %u events per CPU, wakeup_timing %s, disarm_ms %u\n",
		buffer_size, knob_offered(K_WAKEUP_TIMING) ? "offered" : "absent",
		disarm_ms);
	return 0;

drop_report:
	report_exit();
drop_window:
	window_exit();
free_record:
	record_exit();
	return ret;
}

static void __exit tracer_exit(void)
{
	knobs_unregister();
	report_exit();
	window_exit();
	record_exit();
	knobs_release();
	pr_info("unloaded\n");
}

module_init(tracer_init);
module_exit(tracer_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("User-triggered latency tracer with the CONFIG_LATENCY_TRACING interface");
MODULE_VERSION("0.2.0");
