// SPDX-License-Identifier: GPL-2.0
/*
 * The report: /proc/latency_trace, and the same window's calls in
 * /proc/latency_graph and /proc/latency_slices, the first two with where
 * the window's time went after the latency block, each read through a
 * seq_file over a snapshot taken when the file is opened; and latency_trace's
 * text in the kernel log at a panic or oops while trace_print_at_crash is 1.
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
#include "graph.h"
#include "knobs.h"
#include "report.h"
#include "snapshot.h"
#include "summary.h"

static unsigned int crash_events = 500;
module_param(crash_events, uint, 0644);
MODULE_PARM_DESC(crash_events, "Events written to the kernel log at a crash, the last ones (default 500)");

static bool param_report_unreadable;
module_param_named(report_unreadable, param_report_unreadable, bool, 0444);
MODULE_PARM_DESC(report_unreadable, "Refuse to open /proc/latency_trace (for tests)");

enum report_file { REPORT_TRACE, REPORT_GRAPH, REPORT_SLICES };

/* An open report: the snapshot last, as its cursors end it. */
struct report {
	enum report_file file;
	bool stale;		/* a newer window overwrote it while read */
	struct graph *graph;	/* the calls */
	struct summary *summary;	/* where the time went */
	char line[FORMAT_LINE_MAX];
	struct snapshot s;
};

static size_t report_size(void)
{
	return offsetof(struct report, s) + snapshot_size();
}

/* The graph's last record, after the events: the calls still open. */
static char end_token;

/* The event at the snapshot's position, or what follows the last one. */
static void *report_current(struct report *r, loff_t pos)
{
	void *e = snapshot_peek(&r->s);

	if (e || r->file != REPORT_GRAPH || r->s.index != pos - 1)
		return e;
	return &end_token;
}

/*
 * seq_file: position 0 is the header, position p the (p-1)th event, and in
 * the graph one more position ends the calls still open.
 */
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
	return report_current(r, *pos);
}

static void *report_next(struct seq_file *m, void *v, loff_t *pos)
{
	struct report *r = m->private;

	++*pos;
	if (v == &end_token)
		return NULL;
	if (v != SEQ_START_TOKEN)
		snapshot_advance(&r->s);
	if (r->stale || r->s.view.set < 0)
		return NULL;
	return report_current(r, *pos);
}

static void report_stop(struct seq_file *m, void *v)
{
}

static int report_show(struct seq_file *m, void *v)
{
	struct report *r = m->private;

	if (v == SEQ_START_TOKEN) {
		format_header_start(m, &r->s);
		if (r->summary)
			summary_show(m, r->summary);
		else if (r->file == REPORT_TRACE && r->s.view.set >= 0)
			format_line(m, "# where the time went: no memory to work it out");
		format_header_rest(m, &r->s, r->file == REPORT_TRACE);
		if (r->file != REPORT_TRACE)
			graph_header(m, r->graph, r->file == REPORT_SLICES);
		return 0;
	}
	if (snapshot_stale(&r->s)) {
		format_line(m, "# the window was overwritten by a newer one while being read");
		r->stale = true;
		return 0;
	}
	if (v == &end_token)
		graph_show_end(m, r->graph, &r->s);
	else if (r->file == REPORT_GRAPH)
		graph_show(m, r->graph, &r->s, v, r->line);
	else if (r->file == REPORT_SLICES)
		graph_show_slices(m, r->graph, &r->s, v, r->line);
	else
		format_event(m, &r->s, v, r->line);
	return 0;
}

static const struct seq_operations report_seq_ops = {
	.start = report_start,
	.next = report_next,
	.stop = report_stop,
	.show = report_show,
};

/*
 * The one walk of the kept window's events, at open: counted by kind, fed
 * to the call graph and to the summary together.
 */
static void analyse(struct report *r, struct graph *g)
{
	const struct cg_call *calls = g ? graph_calls(g) : NULL;
	struct snapshot *s = &r->s;
	unsigned int closed = CG_NONE, open_calls = 0;
	unsigned long long untracked = 0;
	struct event *e;

	for (snapshot_rewind(s); (e = snapshot_peek(s)); snapshot_advance(s)) {
		snapshot_count(s, e);
		if (g)
			closed = graph_feed(g, e, s->cpu, s->index);
		if (r->summary)
			summary_feed(r->summary, e, s->cpu, calls, closed);
	}
	snapshot_rewind(s);
	if (g) {
		closed = graph_end(g, s->view.w.end_ns - s->view.w.start_ns);
		graph_counts(g, &open_calls, &untracked);
	}
	if (r->summary)
		summary_end(r->summary, calls, closed, open_calls, untracked);
}

static int report_open_file(struct file *file, enum report_file which)
{
	struct graph *g;
	struct report *r;

	if (param_report_unreadable)
		return -EACCES;
	r = __seq_open_private(file, &report_seq_ops, report_size());
	if (!r)
		return -ENOMEM;
	r->file = which;
	snapshot_take(&r->s, false);
	if (r->s.view.set < 0)
		return 0;
	/* latency_trace prints no calls: it needs their ends only for the summary. */
	g = graph_alloc(r->s.kept, which != REPORT_TRACE);
	if (which != REPORT_SLICES)
		r->summary = summary_alloc(&r->s);
	analyse(r, g);
	/* latency_trace needs neither: without memory it goes without. */
	if (which == REPORT_TRACE) {
		graph_free(g);
		return 0;
	}
	r->graph = g;
	if (!r->graph || (which == REPORT_GRAPH && !r->summary)) {
		summary_free(r->summary);
		graph_free(r->graph);
		seq_release_private(file_inode(file), file);
		return -ENOMEM;
	}
	return 0;
}

static int report_release(struct inode *inode, struct file *file)
{
	struct report *r = ((struct seq_file *)file->private_data)->private;

	summary_free(r->summary);
	graph_free(r->graph);
	return seq_release_private(inode, file);
}

static int trace_open(struct inode *inode, struct file *file)
{
	return report_open_file(file, REPORT_TRACE);
}

static int graph_open(struct inode *inode, struct file *file)
{
	return report_open_file(file, REPORT_GRAPH);
}

static int slices_open(struct inode *inode, struct file *file)
{
	return report_open_file(file, REPORT_SLICES);
}

#define REPORT_OPS(name, open) \
	static const struct proc_ops name = { \
		.proc_open = open, \
		.proc_read = seq_read, \
		.proc_lseek = seq_lseek, \
		.proc_release = report_release, \
	}
REPORT_OPS(trace_ops, trace_open);
REPORT_OPS(graph_ops, graph_open);
REPORT_OPS(slices_ops, slices_open);

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
	format_header(NULL, s, true);
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
static const struct {
	const char *name;
	const struct proc_ops *ops;
} report_files[] = {
	{ "latency_trace", &trace_ops },
	{ "latency_graph", &graph_ops },
	{ "latency_slices", &slices_ops },
};
static struct proc_dir_entry *report_entry[ARRAY_SIZE(report_files)];

static void remove_files(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(report_files); i++)
		proc_remove(report_entry[i]);
}

int report_init(void)
{
	size_t i;
	int ret;

	crash_report = kzalloc(report_size(), GFP_KERNEL);
	if (!crash_report)
		return -ENOMEM;
	/* Root only: with trace_verbose the report holds kernel addresses. */
	for (i = 0; i < ARRAY_SIZE(report_files); i++) {
		report_entry[i] = proc_create(report_files[i].name, 0400, NULL,
					      report_files[i].ops);
		if (!report_entry[i]) {
			remove_files();
			kfree(crash_report);
			return -ENOMEM;
		}
	}
	ret = register_die_notifier(&die_nb);
	if (ret) {
		remove_files();
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
	remove_files();
	kfree(crash_report);
}
