// SPDX-License-Identifier: GPL-2.0
/*
 * The report: /proc/latency_trace, read through a seq_file over a snapshot
 * taken when the file is opened, and the same text in the kernel log at a
 * panic or oops while trace_print_at_crash is 1.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/kdebug.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/notifier.h>
#include <linux/panic_notifier.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>

#include "format.h"
#include "knobs.h"
#include "report.h"
#include "snapshot.h"

static unsigned int crash_events = 500;
module_param(crash_events, uint, 0644);
MODULE_PARM_DESC(crash_events, "Events written to the kernel log at a crash, the last ones (default 500)");

static bool param_report_unreadable;
module_param_named(report_unreadable, param_report_unreadable, bool, 0444);
MODULE_PARM_DESC(report_unreadable, "Refuse to open /proc/latency_trace (for tests)");

/* An open report: the snapshot last, as its cursors end it. */
struct report {
	bool stale;		/* a newer window overwrote it while read */
	char line[FORMAT_LINE_MAX];
	struct snapshot s;
};

static size_t report_size(void)
{
	return offsetof(struct report, s) + snapshot_size();
}

/* seq_file: position 0 is the header, position p the (p-1)th event. */
static void *report_start(struct seq_file *m, loff_t *pos)
{
	struct report *r = m->private;

	if (*pos == 0)
		return SEQ_START_TOKEN;
	if (r->stale || r->s.view.set < 0)
		return NULL;
	if (r->s.index > *pos - 1)
		snapshot_rewind(&r->s);
	while (r->s.index < *pos - 1 && snapshot_peek(&r->s))
		snapshot_advance(&r->s);
	return snapshot_peek(&r->s);
}

static void *report_next(struct seq_file *m, void *v, loff_t *pos)
{
	struct report *r = m->private;

	++*pos;
	if (v != SEQ_START_TOKEN)
		snapshot_advance(&r->s);
	if (r->stale || r->s.view.set < 0)
		return NULL;
	return snapshot_peek(&r->s);
}

static void report_stop(struct seq_file *m, void *v)
{
}

static int report_show(struct seq_file *m, void *v)
{
	struct report *r = m->private;

	if (v == SEQ_START_TOKEN) {
		format_header(m, &r->s);
		return 0;
	}
	if (snapshot_stale(&r->s)) {
		format_line(m, "# the window was overwritten by a newer one while being read");
		r->stale = true;
		return 0;
	}
	format_event(m, &r->s, v, r->line);
	return 0;
}

static const struct seq_operations report_seq_ops = {
	.start = report_start,
	.next = report_next,
	.stop = report_stop,
	.show = report_show,
};

static int report_open(struct inode *inode, struct file *file)
{
	struct report *r;

	if (param_report_unreadable)
		return -EACCES;
	r = __seq_open_private(file, &report_seq_ops, report_size());
	if (!r)
		return -ENOMEM;
	snapshot_take(&r->s, false);
	return 0;
}

static const struct proc_ops report_ops = {
	.proc_open = report_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = seq_release_private,
};

/* Allocated at load: nothing can be allocated at a crash. */
static struct report *crash_report;
static atomic_t crash_dumped;

static void dump_at_crash(void)
{
	struct report *r = crash_report;
	struct snapshot *s = &r->s;
	struct event *e;
	u64 skip;

	if (knob(K_TRACE_PRINT_AT_CRASH) != 1 || atomic_xchg(&crash_dumped, 1))
		return;
	snapshot_take(s, true);
	pr_emerg("the last window's trace (trace_print_at_crash):\n");
	format_header(NULL, s);
	if (s->view.set < 0)
		return;
	skip = s->kept > crash_events ? s->kept - crash_events : 0;
	if (skip)
		format_line(NULL, "# the first %llu events are left out", skip);
	while (skip-- && snapshot_peek(s))
		snapshot_advance(s);
	while ((e = snapshot_peek(s))) {
		format_event(NULL, s, e, r->line);
		snapshot_advance(s);
	}
	pr_emerg("end of the last window's trace\n");
}

static int on_panic(struct notifier_block *nb, unsigned long action,
		    void *data)
{
	dump_at_crash();
	return NOTIFY_DONE;
}

static int on_die(struct notifier_block *nb, unsigned long action, void *data)
{
	if (action == DIE_OOPS)
		dump_at_crash();
	return NOTIFY_DONE;
}

static struct notifier_block panic_nb = { .notifier_call = on_panic };
static struct notifier_block die_nb = { .notifier_call = on_die };
static struct proc_dir_entry *report_entry;

int report_init(void)
{
	int ret;

	crash_report = kzalloc(report_size(), GFP_KERNEL);
	if (!crash_report)
		return -ENOMEM;
	/* Root only: with trace_verbose the report holds kernel addresses. */
	report_entry = proc_create("latency_trace", 0400, NULL, &report_ops);
	if (!report_entry) {
		kfree(crash_report);
		return -ENOMEM;
	}
	ret = register_die_notifier(&die_nb);
	if (ret) {
		proc_remove(report_entry);
		kfree(crash_report);
		return ret;
	}
	atomic_notifier_chain_register(&panic_notifier_list, &panic_nb);
	return 0;
}

void report_exit(void)
{
	atomic_notifier_chain_unregister(&panic_notifier_list, &panic_nb);
	unregister_die_notifier(&die_nb);
	proc_remove(report_entry);
	kfree(crash_report);
}
