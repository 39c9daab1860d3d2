// SPDX-License-Identifier: GPL-2.0
/*
 * The ten knobs under /proc/sys/kernel. Every write is logged for the
 * report, and a write may arm or disarm the tracer's hooks: that happens
 * here, in the writer's process context, never in a probe.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/pid.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/sysctl.h>
#include <linux/trace_clock.h>

#include "compat.h"
#include "tracer.h"

const char *const knob_names[KNOB_COUNT] = {
	"trace_all_cpus",	"trace_enabled",	"trace_freerunning",
	"trace_print_at_crash", "trace_user_triggered", "trace_verbose",
	"preempt_max_latency",	"preempt_thresh",	"wakeup_timing",
	"mcount_enabled",
};

int knob_values[KNOB_COUNT];

struct write_log write_log;
DEFINE_RAW_SPINLOCK(write_log_lock);

static struct ctl_table knob_table[KNOB_COUNT + 1];
static struct ctl_table_header *knob_header;

/* A knob is offered unless a load parameter leaves it out. */
bool knob_offered(int k)
{
	const char *p = param_omit;
	size_t len = strlen(knob_names[k]);

	if (k == K_WAKEUP_TIMING && !param_wakeup_timing)
		return false;
	while (p && *p) {
		size_t n = strcspn(p, ",");

		if (n == len && !strncmp(p, knob_names[k], len))
			return false;
		p += n;
		if (*p == ',')
			p++;
	}
	return true;
}

static int knob_handler(VT_CTL_TABLE *table, int write, void *buffer,
			size_t *lenp, loff_t *ppos)
{
	int k = (int *)table->data - knob_values;
	int ret = proc_dointvec_minmax(table, write, buffer, lenp, ppos);
	struct knob_write entry = { .knob = k };
	unsigned long flags;

	if (!write || ret)
		return ret;
	entry.value = knob(k);
	entry.pid = task_tgid_nr(current);
	get_task_comm(entry.comm, current);
	entry.time_ns = trace_clock_local();
	raw_spin_lock_irqsave(&write_log_lock, flags);
	if (write_log.count < WRITE_LOG_SIZE)
		write_log.entry[write_log.count++] = entry;
	else
		write_log.lost++;
	raw_spin_unlock_irqrestore(&write_log_lock, flags);
	sync_hooks(arming_knob(k));
	return ret;
}

/*
 * What a knob takes; a write outside it fails with EINVAL and changes
 * nothing. The two latency knobs are lengths in µs, the others 0 or 1.
 */
static void *knob_max(int k)
{
	return k == K_PREEMPT_MAX_LATENCY || k == K_PREEMPT_THRESH ?
	       SYSCTL_INT_MAX : SYSCTL_ONE;
}

int knobs_register(void)
{
	size_t k, n = 0;

	for (k = 0; k < KNOB_COUNT; k++) {
		if (!knob_offered(k))
			continue;
		knob_table[n].procname = knob_names[k];
		knob_table[n].data = &knob_values[k];
		knob_table[n].maxlen = sizeof(int);
		knob_table[n].mode = (k == K_MCOUNT_ENABLED &&
				      param_mcount_unreadable) ? 0200 : 0644;
		knob_table[n].proc_handler = knob_handler;
		knob_table[n].extra1 = SYSCTL_ZERO;
		knob_table[n].extra2 = knob_max(k);
		n++;
	}
	knob_header = vt_register_sysctl("kernel", knob_table, n);
	return knob_header ? 0 : -ENOMEM;
}

void knobs_unregister(void)
{
	unregister_sysctl_table(knob_header);
}
