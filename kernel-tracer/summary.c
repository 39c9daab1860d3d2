// SPDX-License-Identifier: GPL-2.0
/*
 * Where the kept window's time went: each event of the report's walk
 * turned into analysis.c's input, and the figures it gives printed, a
 * line each. What the figures mean is analysis.c's.
 */
#include <linux/cpumask.h>
#include <linux/kernel.h>
#include <linux/math64.h>
#include <linux/mm.h>
#include <linux/preempt.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "analysis.h"
#include "format.h"
#include "knobs.h"
#include "names.h"
#include "summary.h"

struct summary {
	char opener[TASK_COMM_LEN];
	u64 lost;
	unsigned int open_calls;
	unsigned long long untracked;
	bool wakeups_recorded, no_calls;
	char handler[AN_NAME];	/* the name of the handler being fed */
	struct an_state an;
	struct an_cpu cpu[];
};

struct summary *summary_alloc(const struct snapshot *s)
{
	const struct shown_window *w = &s->view.w;
	struct summary *sum;

	sum = kvzalloc(struct_size(sum, cpu, nr_cpu_ids), GFP_KERNEL);
	if (!sum)
		return NULL;
	memcpy(sum->opener, w->opener_comm, TASK_COMM_LEN);
	sum->lost = s->lost;
	sum->wakeups_recorded = w->knobs[K_WAKEUP_TIMING] == 1;
	an_begin(&sum->an, sum->cpu, nr_cpu_ids, w->opener_pid,
		 w->end_ns - w->start_ns);
	return sum;
}

static u8 how_switched_out(unsigned int state)
{
	if (!(state & TASK_REPORT))
		return AN_RUNNABLE;
	if (state & TASK_INTERRUPTIBLE)
		return AN_SLEEP_S;
	if (state & TASK_UNINTERRUPTIBLE)
		return AN_SLEEP_D;
	return AN_SLEEP_OTHER;
}

static u8 context_of(const struct event *e)
{
	if (e->ctx & (HARDIRQ_MASK | NMI_MASK))
		return AN_IN_HARDIRQ;
	if (e->ctx & SOFTIRQ_OFFSET)
		return AN_IN_SOFTIRQ;
	return AN_IN_TASK;
}

/* The event as the analysis takes it; a handler's name into handler. */
static void to_input(const struct event *e, int cpu, struct an_input *in,
		     char *handler)
{
	*in = (struct an_input){
		.time = e->offset_ns,
		.cpu = cpu,
		.origin = e->kind,
		.context = context_of(e),
		.irqs_off = !!(e->flags & EVF_IRQS_OFF),
		.preempt_off = !!(e->ctx & PREEMPT_MASK),
		.pid = e->pid,
		.tgid = e->tgid,
		.comm = e->comm,
	};
	switch (e->kind) {
	case EV_FUNCTION:
		in->kind = AN_FUNCTION;
		in->ip = e->fn.ip;
		break;
	case EV_SWITCH:
		in->kind = AN_SWITCH;
		in->sw.next_pid = e->sw.next_pid;
		in->sw.next_prio = e->sw.next_prio;
		in->sw.next_comm = e->sw.next_comm;
		in->sw.prev = how_switched_out(e->sw.state);
		break;
	case EV_WAKEUP:
		in->kind = AN_WAKEUP;
		in->wake.pid = e->wake.pid;
		in->wake.cpu = e->wake.cpu;
		break;
	case EV_SYSCALL:
	case EV_SYS_EXIT:
		in->kind = e->kind == EV_SYSCALL ? AN_SYSCALL : AN_SYS_EXIT;
		in->sys.nr = e->sys.nr;
		in->sys.name = names_syscall(e);
		break;
	case EV_IRQ_ENTRY:
	case EV_VECTOR_ENTRY:
	case EV_SOFTIRQ_ENTRY:
		in->kind = e->kind == EV_SOFTIRQ_ENTRY ? AN_SOFTIRQ_ENTRY :
			   AN_HARDIRQ_ENTRY;
		names_handler(e, handler, AN_NAME);
		in->handler = handler;
		break;
	case EV_IRQ_EXIT:
	case EV_VECTOR_EXIT:
		in->kind = AN_HARDIRQ_EXIT;
		break;
	case EV_SOFTIRQ_EXIT:
		in->kind = AN_SOFTIRQ_EXIT;
		break;
	default:
		/* A wakeup's latency, recorded in the woken task's name. */
		in->kind = AN_OTHER;
	}
}

void summary_feed(struct summary *sum, const struct event *e, int cpu,
		  const struct cg_call *calls, unsigned int closed)
{
	struct an_input in;

	to_input(e, cpu, &in, sum->handler);
	an_feed(&sum->an, &in);
	if (calls)
		an_feed_calls(&sum->an, calls, closed);
}

void summary_end(struct summary *sum, const struct cg_call *calls,
		 unsigned int open, unsigned int open_calls,
		 unsigned long long untracked)
{
	sum->no_calls = !calls;
	if (calls)
		an_feed_calls(&sum->an, calls, open);
	sum->open_calls = open_calls;
	sum->untracked = untracked;
	an_end(&sum->an);
}

void summary_free(struct summary *sum)
{
	kvfree(sum);
}

/* "N us (P.P%)": a time and its share of the threads' time. */
static const char *share(char *b, size_t n, u64 ns, u64 total)
{
	u64 permille = total ? div64_u64(ns * 1000, total) : 0;

	scnprintf(b, n, "%llu us (%llu.%llu%%)", div_u64(ns, NSEC_PER_USEC),
		  div_u64(permille, 10), permille % 10);
	return b;
}

/* The top entries of a tally, by time. */
static void show_top(struct seq_file *m, const char *key,
		     const struct an_list *l, u64 total, bool tasks)
{
	char line[FORMAT_LINE_MAX], b[40];
	const struct an_tally *t;
	size_t n = 0;
	int k;

	line[0] = '\0';
	for (k = 0; (t = an_top(l, k)); k++) {
		if (tasks && t->pid >= 0)
			n += scnprintf(line + n, sizeof(line) - n,
				       "%s%s-%d prio %d %s", k ? ", " : "",
				       t->name, t->pid, t->prio,
				       share(b, sizeof(b), t->ns, total));
		else
			n += scnprintf(line + n, sizeof(line) - n,
				       "%s%s %ux %s", k ? ", " : "",
				       t->name, t->count,
				       share(b, sizeof(b), t->ns, total));
	}
	format_line(m, "# %s: %s", key, n ? line : "none");
}

static void show_off(struct seq_file *m, const char *key,
		     const struct an_longest *off, u64 total)
{
	char b[40];

	if (!off->ns) {
		format_line(m, "# %s: none seen", key);
		return;
	}
	if (off->ip)
		format_line(m, "# %s: longest %s on cpu %d, from %ps", key,
			    share(b, sizeof(b), off->ns, total), off->cpu,
			    (void *)off->ip);
	else
		format_line(m, "# %s: longest %s on cpu %d, from a %s event",
			    key, share(b, sizeof(b), off->ns, total), off->cpu,
			    names_kind(off->origin));
}

static const char *const context_names[] = {
	[AN_IN_TASK] = "task",
	[AN_IN_SOFTIRQ] = "softirq",
	[AN_IN_HARDIRQ] = "hardirq",
};

void summary_show(struct seq_file *m, const struct summary *s)
{
	const struct an_summary *sum = an_figures(&s->an);
	u64 total = sum->length * max(sum->threads, 1U);
	u64 waiting = sum->preempted + sum->woken;
	u64 sleeping = sum->sleeping[AN_SLEEP_S] + sum->sleeping[AN_SLEEP_D] +
		       sum->sleeping[AN_SLEEP_OTHER];
	char line[FORMAT_LINE_MAX], a[40], b[40], d[40];
	size_t n = 0;
	int i;

	format_line(m, "# where the time went: %s-%d, %u thread%s over %llu us, each figure a share of %llu us",
		    s->opener, sum->opener, sum->threads,
		    sum->threads == 1 ? "" : "s",
		    div_u64(sum->length, NSEC_PER_USEC),
		    div_u64(total, NSEC_PER_USEC));
	format_line(m, "# running: %s", share(a, sizeof(a), sum->running, total));
	format_line(m, "# waiting: %s: preempted %s, woken %s",
		    share(a, sizeof(a), waiting, total),
		    share(b, sizeof(b), sum->preempted, total),
		    share(d, sizeof(d), sum->woken, total));
	format_line(m, "# sleeping: %s: S %llu us, D %llu us, other %llu us",
		    share(a, sizeof(a), sleeping, total),
		    div_u64(sum->sleeping[AN_SLEEP_S], NSEC_PER_USEC),
		    div_u64(sum->sleeping[AN_SLEEP_D], NSEC_PER_USEC),
		    div_u64(sum->sleeping[AN_SLEEP_OTHER], NSEC_PER_USEC));
	show_top(m, "ran_instead", &sum->instead, total, true);
	line[0] = '\0';
	for (i = 0; i < AN_TOP && sum->wake[i].comm[0]; i++)
		n += scnprintf(line + n, sizeof(line) - n,
			       "%sby %s-%d from %s on cpu %d, running %llu us later",
			       i ? ", " : "", sum->wake[i].comm,
			       sum->wake[i].pid,
			       context_names[sum->wake[i].context],
			       sum->wake[i].cpu,
			       div_u64(sum->wake[i].delay, NSEC_PER_USEC));
	if (s->wakeups_recorded)
		format_line(m, "# woken: %u time%s%s%s", sum->wakeups,
			    sum->wakeups == 1 ? "" : "s", n ? "; " : "", line);
	else
		format_line(m, "# woken: not recorded (wakeup_timing 0)");
	format_line(m, "# interrupts: %u hardirqs %s, %u softirqs %s",
		    sum->hardirqs, share(a, sizeof(a), sum->hardirq_ns, total),
		    sum->softirqs, share(b, sizeof(b), sum->softirq_ns, total));
	show_top(m, "handlers", &sum->handlers, total, false);
	show_top(m, "syscalls", &sum->syscalls, total, false);
	n = 0;
	line[0] = '\0';
	for (i = 0; i < AN_TOP_CALLS && sum->call[i].ns; i++)
		n += scnprintf(line + n, sizeof(line) - n,
			       "%s%ps %s self %llu us", i ? ", " : "",
			       (void *)sum->call[i].ip,
			       share(a, sizeof(a), sum->call[i].ns, total),
			       div_u64(sum->call[i].self, NSEC_PER_USEC));
	format_line(m, "# longest_calls: %s", n ? line : s->no_calls ?
		    "not worked out (no memory for the calls)" : "none");
	show_off(m, "irqs_off", &sum->off[AN_IRQS_OFF], total);
	show_off(m, "preempt_off", &sum->off[AN_PREEMPT_OFF], total);
	format_line(m, "# incomplete: %llu events lost, %u calls open at the window's end, %llu untracked",
		    s->lost, s->open_calls, s->untracked);
	format_line(m, "#");
}
