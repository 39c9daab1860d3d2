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

/* Where a CPU goes to a higher stack, or back: per event, for the lines. */
#define EDGE_IN		0x01
#define EDGE_OUT	0x02

struct graph {
	unsigned int n;
	struct cg_call *call;	/* n, by event index */
	u8 *edge;		/* n, by event index; NULL: not printed */
	u8 *was;		/* each CPU's last stack */
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

/* The call graph's stacks are the ones events record. */
static_assert((int)CG_TASK == EV_STACK_TASK && (int)CG_IRQ == EV_STACK_IRQ &&
	      (int)CG_EXCEPTION == EV_STACK_EXCEPTION, "one order of stacks");

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
	in->ip = 0;
	switch (e->kind) {
	case EV_FUNCTION:
		in->kind = CG_CALL;
		in->ip = e->fn.ip;
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

struct graph *graph_alloc(unsigned int n, bool printed)
{
	struct graph *g;

	if (n >= CG_NONE)
		return NULL;
	g = kvzalloc(sizeof(*g), GFP_KERNEL);
	if (!g)
		return NULL;
	g->n = n;
	g->call = kvmalloc_array(max(n, 1U), sizeof(*g->call), GFP_KERNEL);
	if (printed) {
		g->edge = kvzalloc(max(n, 1U), GFP_KERNEL);
		g->was = kcalloc(nr_cpu_ids, sizeof(*g->was), GFP_KERNEL);
	}
	if (!g->call || (printed && (!g->edge || !g->was))) {
		graph_free(g);
		return NULL;
	}
	cg_begin(&g->cg, g->call, n);
	return g;
}

unsigned int graph_feed(struct graph *g, const struct event *e, int cpu,
			unsigned int index)
{
	struct cg_input in;

	if (index >= g->n)
		return CG_NONE;
	to_input(e, cpu, &in);
	cg_feed(&g->cg, index, &in);
	if (g->edge && in.kind != CG_IGNORE) {
		if (in.stack > CG_TASK && g->was[cpu] == CG_TASK)
			g->edge[index] |= EDGE_IN;
		if (in.stack == CG_TASK && g->was[cpu] > CG_TASK)
			g->edge[index] |= EDGE_OUT;
		g->was[cpu] = in.stack;
	}
	return g->call[index].first_closed;
}

unsigned int graph_end(struct graph *g, u64 length)
{
	cg_end(&g->cg, length);
	return g->cg.open_first;
}

void graph_free(struct graph *g)
{
	if (!g)
		return;
	kfree(g->was);
	kvfree(g->edge);
	kvfree(g->call);
	kvfree(g);
}

const struct cg_call *graph_calls(const struct graph *g)
{
	return g->call;
}

void graph_counts(const struct graph *g, unsigned int *open,
		  unsigned long long *untracked)
{
	*open = g->cg.open;
	*untracked = g->cg.untracked;
}

void graph_header(struct seq_file *m, const struct graph *g, bool slices)
{
	format_line(m, "# ends: a call ends at the next event on its stack at its depth or above, so a leaf's time may include its caller's code up to that caller's next call");
	format_line(m, "# calls: %u, %u open at the window's end, %llu untracked",
		    g ? g->cg.ncalls : 0, g ? g->cg.open : 0,
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
	char usecs[24], nsecs[5];
	size_t len, pos;
	u32 rem;
	u64 us = div_u64_rem(ns, NSEC_PER_USEC, &rem);

	len = scnprintf(usecs, sizeof(usecs), "%llu", us);
	pos = scnprintf(b, n, "%c %s", cg_duration_mark(ns), usecs);
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

/* A call with children returns: at the event e, or (e NULL) the end. */
static void print_return(struct seq_file *m, const struct snapshot *s,
			 const struct cg_call *c, const struct event *e,
			 int cpu)
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

/* The entry of a call with children. */
static void print_entry(struct seq_file *m, const char *pro,
			const struct cg_call *c)
{
	format_line(m, "%s" FILL "%*s%ps() {", pro, c->depth * 2, "",
		    (void *)c->ip);
}

/* A call without children, with its duration. */
static void print_leaf(struct seq_file *m, const char *pro,
		       const struct cg_call *c)
{
	char dur[40];

	if (c->flags & CG_OPEN) {
		format_line(m, "%s" FILL "%*s%ps(); /* open at the window's end */",
			    pro, c->depth * 2, "", (void *)c->ip);
		return;
	}
	print_duration(dur, sizeof(dur), c->end - c->start);
	format_line(m, "%s%s%*s%ps();", pro, dur, c->depth * 2, "",
		    (void *)c->ip);
}

/* Where the CPU goes to an interrupt or exception stack, or comes back. */
static void print_irq_edge(struct seq_file *m, const char *pro, bool in)
{
	format_line(m, in ? "%s==========> |" : "%s<========== |", pro);
}

/* Any other event, as a comment. */
static void print_event(struct seq_file *m, const char *pro,
			const struct snapshot *s, const struct event *e,
			char *line)
{
	format_body(s, e, line);
	format_line(m, "%s" FILL "/* %s */", pro, line);
}

/* function_graph's banner of a task switch. */
static void print_switch(struct seq_file *m, const struct event *e, int cpu)
{
	char prev[32], next[32];

	print_proc(prev, sizeof(prev), e->comm, e->pid);
	print_proc(next, sizeof(next), e->sw.next_comm, e->sw.next_pid);
	format_line(m, " ------------------------------------------");
	format_line(m, " %*d) %s => %s", cpu_width(), cpu, prev, next);
	format_line(m, " ------------------------------------------");
	format_line(m, "%s", "");
}

void graph_show(struct seq_file *m, const struct graph *g,
		const struct snapshot *s, const struct event *e, char *line)
{
	const struct cg_call *c = &g->call[s->index];
	char pro[64];
	unsigned int i;

	print_prologue(pro, sizeof(pro), s, e->offset_ns, s->cpu, e->comm,
		       e->pid);
	/* The handlers' calls end before the CPU is back, then its own. */
	for (i = c->first_closed; i != CG_NONE; i = g->call[i].next_closed)
		if (g->call[i].flags & CG_CHILDREN &&
		    g->call[i].stack > c->stack)
			print_return(m, s, &g->call[i], e, s->cpu);
	if (g->edge[s->index] & EDGE_OUT)
		print_irq_edge(m, pro, false);
	for (i = c->first_closed; i != CG_NONE; i = g->call[i].next_closed)
		if (g->call[i].flags & CG_CHILDREN &&
		    g->call[i].stack <= c->stack)
			print_return(m, s, &g->call[i], e, s->cpu);
	if (g->edge[s->index] & EDGE_IN)
		print_irq_edge(m, pro, true);
	if (e->kind == EV_FUNCTION) {
		if (c->flags & CG_CHILDREN)
			print_entry(m, pro, c);
		else
			print_leaf(m, pro, c);
		return;
	}
	print_event(m, pro, s, e, line);
	if (e->kind == EV_SWITCH)
		print_switch(m, e, s->cpu);
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
			print_return(m, s, &g->call[i], NULL, g->call[i].cpu);
}
