// SPDX-License-Identifier: GPL-2.0
/*
 * The ten knobs under /proc/sys/kernel. Every write is logged for the
 * report, then passed to the callback given at registration (main.c wires
 * it to arming), in the writer's process context, never in a probe.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/delay.h>
#include <linux/irq_work.h>
#include <linux/kmemleak.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/pid.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/sysctl.h>
#include <linux/trace_clock.h>

#include "compat.h"
#include "crash_lock.h"
#include "knobs.h"

static bool param_wakeup_timing = true;
module_param_named(wakeup_timing, param_wakeup_timing, bool, 0444);
MODULE_PARM_DESC(wakeup_timing, "Offer the wakeup_timing knob (default: yes; no acts as a kernel without it)");

static char *param_omit = "";
module_param_named(omit, param_omit, charp, 0444);
MODULE_PARM_DESC(omit, "Comma-separated knobs to leave out (for tests)");

static bool param_mcount_unreadable;
module_param_named(mcount_unreadable, param_mcount_unreadable, bool, 0444);
MODULE_PARM_DESC(mcount_unreadable, "Make mcount_enabled write-only, even for root (for tests)");

static const char *const knob_names[KNOB_COUNT] = {
#define VT_KNOB_NAME(k, name) [k] = #name,
	VT_KNOBS(VT_KNOB_NAME)
#undef VT_KNOB_NAME
};

static int knob_values[KNOB_COUNT];

/* A leaf lock: nothing is taken inside it. */
static DEFINE_RAW_SPINLOCK(write_log_lock);
static struct write_log write_log;

static struct ctl_table knob_table[KNOB_COUNT + 1];
static struct ctl_table_header *knob_header;
static knob_written_fn knob_written;

int knob(enum knob k)
{
	return READ_ONCE(knob_values[k]);
}

const char *knob_name(enum knob k)
{
	return knob_names[k];
}

/*
 * poll() on preempt_max_latency reports a new maximum, as ftrace tells
 * waiting tools through fsnotify. The kernel's own notifier for sysctl
 * polls is not exported, so this does what it does: count the event and
 * wake the pollers. The markers run with interrupts off, where no task may
 * be woken (on PREEMPT_RT the wait queue's lock sleeps): an irq_work wakes
 * them, on PREEMPT_RT from its own thread. The wait queue is allocated, as
 * an epoll set may keep its entry there after the module is gone.
 */
static struct ctl_table_poll *max_latency_poll;

static void notify_max_latency(struct irq_work *work)
{
	atomic_inc(&max_latency_poll->event);
	wake_up_interruptible(&max_latency_poll->wait);
}

static struct irq_work max_latency_work = IRQ_WORK_INIT(notify_max_latency);

void knob_new_max_latency(u64 us)
{
	WRITE_ONCE(knob_values[K_PREEMPT_MAX_LATENCY], min_t(u64, us, INT_MAX));
	irq_work_queue(&max_latency_work);
}

/* A knob is offered unless a load parameter leaves it out. */
bool knob_offered(enum knob k)
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
	return knob_written(k);
}

void knobs_copy_log(struct write_log *to, bool crashing)
{
	unsigned long flags;
	bool locked;

	local_irq_save(flags);
	locked = lock_or_try_at_crash(&write_log_lock, crashing, raw_spin_lock,
				      raw_spin_trylock);
	*to = write_log;
	if (locked)
		raw_spin_unlock(&write_log_lock);
	local_irq_restore(flags);
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

int knobs_register(knob_written_fn on_write)
{
	size_t k, n = 0;

	knob_written = on_write;
	max_latency_poll = kzalloc(sizeof(*max_latency_poll), GFP_KERNEL);
	if (!max_latency_poll)
		return -ENOMEM;
	init_waitqueue_head(&max_latency_poll->wait);
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
		if (k == K_PREEMPT_MAX_LATENCY)
			knob_table[n].poll = max_latency_poll;
		n++;
	}
	knob_header = vt_register_sysctl("kernel", knob_table, n);
	if (!knob_header) {
		kfree(max_latency_poll);
		return -ENOMEM;
	}
	return 0;
}

void knobs_unregister(void)
{
	unregister_sysctl_table(knob_header);
}

/*
 * Last at unloading, once nothing can close a window: the pending wakeup
 * runs, and pollers are woken until they have left the wait queue (a
 * poll() or select() that finds the knob gone leaves at once). An epoll set
 * stays until its owner drops the file: then the queue is left to it.
 */
void knobs_release(void)
{
	int i;

	irq_work_sync(&max_latency_work);
	for (i = 0; i < 100 && waitqueue_active(&max_latency_poll->wait); i++) {
		wake_up_interruptible_all(&max_latency_poll->wait);
		msleep(10);
	}
	if (waitqueue_active(&max_latency_poll->wait)) {
		pr_warn("an epoll set still watches preempt_max_latency: leaving its wait queue\n");
		kmemleak_not_leak(max_latency_poll);
		return;
	}
	kfree(max_latency_poll);
}
