// SPDX-License-Identifier: GPL-2.0
/*
 * The kept window's calls, for /proc/latency_graph and /proc/latency_slices.
 * When such a file is opened, callgraph.c's reconstruction runs once over
 * the snapshot's events in time order and keeps, per event, the call it
 * opened (with its end, depth and whether it has children) and the calls
 * it ended. The lines are then printed event by event:
 *
 *   latency_graph: ftrace's function_graph text with the abstime, cpu,
 *     proc and duration options: "f() {" ... "}" for a call with children,
 *     "f();" for a leaf, indented by depth, duration marks, task switches,
 *     "==========>" / "<==========" where a CPU goes to an interrupt or
 *     exception stack and back, and the other events as comments.
 *   latency_slices: latency_trace's switch and waking lines, and for each
 *     call an atrace "B|TGID|name" line at its entry and "E|TGID" at its
 *     end, which Perfetto's text importer makes into nested thread slices.
 */
#include <linux/kallsyms.h>
#include <linux/kernel.h>
#include <linux/math64.h>
#include <linux/mm.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "callgraph.h"
#include "format.h"
#include "graph.h"
#include "snapshot.h"

/* The caller's flags: the first event on a higher stack, or back. */
#define IRQ_IN	0x40
#define IRQ_OUT	0x80

struct graph {
	unsigned int n, calls, open;
	struct cg_call *call;	/* n, by event index */
	struct cg_state cg;
};

/* The start of the function addr is in, or 0 if kallsyms does not know. */
static unsigned long function_start(unsigned long addr)
{
	char name[KSYM_SYMBOL_LEN];
	unsigned long offset;
	const char *plus;

	sprint_symbol(name, addr);
	plus = strrchr(name, '+');
	if (!plus || sscanf(plus, "+%lx/", &offset) != 1 || offset > addr)
		return 0;
	return addr - offset;
}

/* The stack pointer an event was recorded at, and what it does to calls. */
static void to_input(const struct event *e, int cpu, struct cg_input *in)
{
	in->time = e->offset_ns;
	in->pid = e->pid;
	in->tgid = e->tgid;
	in->cpu = cpu;
	in->stack = EVF_STACK(e->flags);
	in->sp = 0;
	in->fn = 0;
	in->caller = 0;
	switch (e->kind) {
	case EV_FUNCTION:
		in->kind = CG_CALL;
		in->sp = e->fn.sp;
		in->fn = function_start(e->fn.ip);
		in->caller = function_start(e->fn.parent_ip);
		break;
	case EV_SWITCH:
		in->kind = CG_EVENT;
		in->sp = e->sw.sp;
		break;
	case EV_WAKEUP:
		in->kind = CG_EVENT;
		in->sp = e->wake.sp;
		break;
	case EV_SYSCALL:
	case EV_SYS_EXIT:
		in->kind = CG_SYSCALL;
		break;
	case EV_IRQ_ENTRY:
	case EV_SOFTIRQ_ENTRY:
	case EV_VECTOR_ENTRY:
		in->kind = CG_IRQ_ENTER;
		in->sp = e->irq.sp;
		break;
	case EV_IRQ_EXIT:
	case EV_SOFTIRQ_EXIT:
	case EV_VECTOR_EXIT:
		in->kind = CG_IRQ_EXIT;
		in->sp = e->irq.sp;
		break;
	default:
		/* Recorded in another task's name: on no stack of its own. */
		in->kind = CG_IGNORE;
	}
}

struct graph *graph_build(struct snapshot *s)
{
	struct cg_input in;
	struct graph *g;
	struct event *e;
	unsigned int i;
	u8 *was;

	if (s->kept >= CG_NONE)
		return NULL;
	g = kvzalloc(sizeof(*g), GFP_KERNEL);
	if (!g)
		return NULL;
	g->n = s->kept;
	g->call = kvmalloc_array(max(g->n, 1U), sizeof(*g->call), GFP_KERNEL);
	if (!g->call) {
		graph_free(g);
		return NULL;
	}
	/* Each CPU's last stack, to mark where interrupts begin and end. */
	was = kcalloc(nr_cpu_ids, sizeof(*was), GFP_KERNEL);
	if (!was) {
		graph_free(g);
		return NULL;
	}
	cg_begin(&g->cg, g->call, g->n);
	for (snapshot_rewind(s); (e = snapshot_peek(s)) && s->index < g->n;
	     snapshot_advance(s)) {
		to_input(e, s->cpu, &in);
		cg_feed(&g->cg, s->index, &in);
		if (in.kind == CG_IGNORE)
			continue;
		if (in.stack > CG_TASK && was[s->cpu] == CG_TASK)
			g->call[s->index].flags |= IRQ_IN;
		if (in.stack == CG_TASK && was[s->cpu] > CG_TASK)
			g->call[s->index].flags |= IRQ_OUT;
		was[s->cpu] = in.stack;
	}
	kfree(was);
	cg_end(&g->cg, s->view.w.end_ns - s->view.w.start_ns);
	for (i = 0; i < g->n; i++) {
		g->calls += g->call[i].is_call;
		g->open += g->call[i].is_call && g->call[i].flags & CG_OPEN;
	}
	snapshot_rewind(s);
	return g;
}

void graph_free(struct graph *g)
{
	if (!g)
		return;
	kvfree(g->call);
	kvfree(g);
}

const struct cg_call *graph_calls(const struct graph *g, unsigned int *n)
{
	*n = g->n;
	return g->call;
}

void graph_counts(const struct graph *g, unsigned int *open,
		  unsigned long long *untracked)
{
	*open = g->open;
	*untracked = g->cg.untracked;
}

void graph_header(struct seq_file *m, const struct graph *g, bool slices)
{
	format_line(m, "# ends: a call ends at the next event on its stack at its depth or above, so a leaf's time may include its caller's code up to that caller's next call");
	format_line(m, "# calls: %u, %u open at the window's end, %llu untracked",
		    g ? g->calls : 0, g ? g->open : 0,
		    g ? g->cg.untracked : 0);
	if (slices) {
		format_legend(m);
		return;
	}
	format_line(m, "#");
	format_line(m, "#     TIME        CPU  TASK/PID         DURATION                  FUNCTION CALLS");
	format_line(m, "#      |          |     |    |           |   |                     |   |   |   |");
}

/* function_graph's task column: comm (7 characters at most)-pid, centred. */
static void print_proc(char *b, size_t n, const char *comm, pid_t pid)
{
	char who[32];
	int len, spaces;

	len = scnprintf(who, sizeof(who), "%.7s-%d", comm, pid);
	spaces = len < 14 ? 14 - len : 0;
	scnprintf(b, n, "%*s%s%*s", spaces / 2, "", who, spaces - spaces / 2,
		  "");
}

static int cpu_width(void)
{
	return snprintf(NULL, 0, "%u", nr_cpu_ids - 1);
}

/* The time, CPU and task columns. */
static void print_prologue(char *b, size_t n, const struct snapshot *s,
			   s64 offset, int cpu, const char *comm, pid_t pid)
{
	char proc[32];
	u64 sec;
	u32 ns;

	sec = div_u64_rem(s->view.w.start_ns + offset, NSEC_PER_SEC, &ns);
	print_proc(proc, sizeof(proc), comm, pid);
	scnprintf(b, n, "%5llu.%06u |   %*d) %s | ", sec, ns / 1000U,
		  cpu_width(), cpu, proc);
}

/* function_graph's duration column, with its mark of a long call. */
static void print_duration(char *b, size_t n, u64 ns)
{
	static const struct {
		u64 over;
		char mark;
	} marks[] = {
		{ 1000000000ULL, '$' }, { 100000000ULL, '@' },
		{ 10000000ULL, '*' }, { 1000000ULL, '#' },
		{ 100000ULL, '!' }, { 10000ULL, '+' },
	};
	char mark = ' ', usecs[24], nsecs[5];
	size_t i, len, pos;
	u32 rem;
	u64 us = div_u64_rem(ns, NSEC_PER_USEC, &rem);

	for (i = 0; i < ARRAY_SIZE(marks); i++) {
		if (ns > marks[i].over) {
			mark = marks[i].mark;
			break;
		}
	}
	len = scnprintf(usecs, sizeof(usecs), "%llu", us);
	pos = scnprintf(b, n, "%c %s", mark, usecs);
	/* At most seven digits in all. */
	if (len < 7) {
		snprintf(nsecs, min(sizeof(nsecs), 8 - len), "%03u", rem);
		pos += scnprintf(b + pos, n - pos, ".%s", nsecs);
		len += strlen(nsecs) + 1;
	}
	pos += scnprintf(b + pos, n - pos, " us ");
	for (; len < 8 && pos + 1 < n; len++)
		b[pos++] = ' ';
	scnprintf(b + pos, n - pos, "|  ");
}

#define FILL "              |  "

/* A call's end at the event e (or the window's end, e NULL). */
static void print_end(struct seq_file *m, const struct snapshot *s,
		      const struct cg_call *c, const struct event *e, int cpu)
{
	char pro[64], dur[40];

	print_prologue(pro, sizeof(pro), s, c->end, cpu,
		       e && e->pid == c->pid ? e->comm : "<...>", c->pid);
	if (c->flags & CG_OPEN) {
		format_line(m, "%s" FILL "%*s} /* open at the window's end */",
			    pro, c->depth * 2, "");
		return;
	}
	print_duration(dur, sizeof(dur), c->end - c->start);
	format_line(m, "%s%s%*s}", pro, dur, c->depth * 2, "");
}

void graph_show(struct seq_file *m, const struct graph *g,
		const struct snapshot *s, const struct event *e, char *line)
{
	const struct cg_call *c = &g->call[s->index];
	char pro[64], dur[40], prev[32], next[32];
	unsigned int i;

	print_prologue(pro, sizeof(pro), s, e->offset_ns, s->cpu, e->comm,
		       e->pid);
	/* The handlers' calls end before the CPU is back, then its own. */
	for (i = c->first_closed; i != CG_NONE; i = g->call[i].next_closed)
		if (g->call[i].flags & CG_CHILDREN &&
		    g->call[i].stack > c->stack)
			print_end(m, s, &g->call[i], e, s->cpu);
	if (c->flags & IRQ_OUT)
		format_line(m, "%s<========== |", pro);
	for (i = c->first_closed; i != CG_NONE; i = g->call[i].next_closed)
		if (g->call[i].flags & CG_CHILDREN &&
		    g->call[i].stack <= c->stack)
			print_end(m, s, &g->call[i], e, s->cpu);
	if (c->flags & IRQ_IN)
		format_line(m, "%s==========> |", pro);
	switch (e->kind) {
	case EV_FUNCTION:
		if (c->flags & CG_CHILDREN)
			format_line(m, "%s" FILL "%*s%ps() {", pro,
				    c->depth * 2, "", (void *)e->fn.ip);
		else if (c->flags & CG_OPEN)
			format_line(m, "%s" FILL "%*s%ps(); /* open at the window's end */",
				    pro, c->depth * 2, "", (void *)e->fn.ip);
		else {
			print_duration(dur, sizeof(dur), c->end - c->start);
			format_line(m, "%s%s%*s%ps();", pro, dur,
				    c->depth * 2, "", (void *)e->fn.ip);
		}
		return;
	}
	format_body(s, e, line);
	format_line(m, "%s" FILL "/* %s */", pro, line);
	switch (e->kind) {
	case EV_SWITCH:
		print_proc(prev, sizeof(prev), e->comm, e->pid);
		print_proc(next, sizeof(next), e->sw.next_comm,
			   e->sw.next_pid);
		format_line(m, " ------------------------------------------");
		format_line(m, " %*d) %s => %s", cpu_width(), s->cpu, prev,
			    next);
		format_line(m, " ------------------------------------------");
		format_line(m, "%s", "");
		break;
	}
}

void graph_show_slices(struct seq_file *m, const struct graph *g,
		       const struct snapshot *s, const struct event *e,
		       char *line)
{
	const struct cg_call *c = &g->call[s->index];
	unsigned int i;

	for (i = c->first_closed; i != CG_NONE; i = g->call[i].next_closed) {
		c = &g->call[i];
		snprintf(line, FORMAT_LINE_MAX, "tracing_mark_write: E|%d",
			 c->tgid);
		format_ftrace_line(m, s, e, c->pid == e->pid ? e->comm : "<...>",
				   c->pid, line);
	}
	switch (e->kind) {
	case EV_FUNCTION:
		snprintf(line, FORMAT_LINE_MAX, "tracing_mark_write: B|%d|%ps",
			 e->tgid, (void *)e->fn.ip);
		format_ftrace_line(m, s, e, e->comm, e->pid, line);
		break;
	case EV_SWITCH:
	case EV_WAKEUP:
		format_event(m, s, e, line);
		break;
	}
}

void graph_show_end(struct seq_file *m, const struct graph *g,
		    const struct snapshot *s)
{
	unsigned int i;

	for (i = g->cg.open_first; i != CG_NONE; i = g->call[i].next_closed)
		if (g->call[i].flags & CG_CHILDREN)
			print_end(m, s, &g->call[i], NULL, g->call[i].cpu);
}
