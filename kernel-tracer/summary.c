// SPDX-License-Identifier: GPL-2.0
/*
 * Where the kept window's time went, for the threads of the process that
 * opened it, from one pass over its events in time order:
 *  - each thread's time is running, waiting to run (preempted, or woken
 *    and not yet switched in) or sleeping (by the state it switched out
 *    in), from its switches and wakeups; a thread first seen running ran
 *    from the window's start, one first seen switched in waited, one first
 *    seen woken slept. The three add up to the window, per thread;
 *  - while a thread waits, the tasks that ran on the CPU it waits for
 *    (where it was preempted, or its wakeup's target) are tallied;
 *  - while a thread runs, the interrupt and softirq handlers on its CPU,
 *    and its own system calls;
 *  - its longest calls (the call graph's), with their self time;
 *  - on the CPUs it ran on, the longest stretches with interrupts off,
 *    and with preemption off, as far as events show them: an interrupt's
 *    entry shows interrupts were on before it;
 *  - what may be missing: lost events, calls open at the window's end.
 */
#include <linux/cpumask.h>
#include <linux/kernel.h>
#include <linux/math64.h>
#include <linux/mm.h>
#include <linux/preempt.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "callgraph.h"
#include "format.h"
#include "summary.h"

#define TALLY_SIZE	32	/* names tallied per list; the rest are "others" */
#define THREADS		64	/* threads of the opener followed */
#define TOP		3
#define TOP_CALLS	5

struct tally {
	char name[32];
	pid_t pid;		/* a task's, or -1 */
	int prio;
	unsigned int count;
	u64 ns;
};

enum thread_state { T_UNSEEN, T_RUNNING, T_WAITING, T_SLEEPING };
enum { SLEEP_S, SLEEP_D, SLEEP_OTHER, SLEEP_KINDS };

struct wakeup {
	char comm[TASK_COMM_LEN];
	pid_t pid;
	const char *context;
	int cpu;
	u64 at, delay;
};

struct thread {
	pid_t pid;
	u8 state, sleep, woken;
	int cpu;		/* where it runs, or the CPU it waits for */
	u64 since;
	long sys_nr;		/* its open system call, or -1 */
	const char *sys_name;
	u64 sys_since;
	struct wakeup wakeup;	/* while woken: by whom, until it runs */
};

/* A CPU's task now, its handler now, and its longest stretches. */
struct cpu_state {
	pid_t pid;
	int prio;
	char comm[TASK_COMM_LEN];
	u64 since;
	bool seen, thread_ran;
	u64 irq_at, softirq_at;		/* handler entries on a thread's time */
	char irq_name[32], softirq_name[32];
	bool in_irq, in_softirq;
	u64 off_at[2], off_last[2];	/* irqs off, preemption off */
	pid_t off_pid[2];
	unsigned long off_ip[2];
	u8 off_kind[2];
	bool off[2];
	u64 longest[2];
	unsigned long longest_ip[2];
	u8 longest_kind[2];
};

struct summary {
	char opener[TASK_COMM_LEN];
	pid_t opener_pid;
	u64 length, lost;
	unsigned int threads, wakeups, hardirqs, softirqs, open_calls;
	unsigned long long untracked;
	bool wakeups_recorded, no_calls;
	u64 running, preempted, woken, sleeping[SLEEP_KINDS];
	u64 hardirq_ns, softirq_ns;
	struct tally instead[TALLY_SIZE + 1], handlers[TALLY_SIZE + 1];
	struct tally syscalls[TALLY_SIZE + 1];
	struct wakeup wake[TOP];
	struct {
		unsigned long ip;
		u64 ns, self;
	} call[TOP_CALLS];
	struct {
		u64 ns;
		unsigned long ip;
		u8 kind;
		int cpu;
	} off[2];
	struct thread thread[THREADS];
	unsigned int ncpus;
	struct cpu_state cpu[];
};

/* Adds ns (and a count) to name's entry; the last entry takes the rest. */
static void tally(struct tally *t, const char *name, pid_t pid, int prio,
		  unsigned int count, u64 ns)
{
	int i;

	for (i = 0; i < TALLY_SIZE && t[i].name[0]; i++)
		if (t[i].pid == pid && !strcmp(t[i].name, name))
			break;
	if (i < TALLY_SIZE && !t[i].name[0]) {
		strscpy(t[i].name, name, sizeof(t[i].name));
		t[i].pid = pid;
		t[i].prio = prio;
	} else if (i == TALLY_SIZE && !t[i].name[0]) {
		strscpy(t[i].name, "others", sizeof(t[i].name));
		t[i].pid = -1;
	}
	t[i].count += count;
	t[i].ns += ns;
}

static struct thread *thread_of(struct summary *sum, const struct event *e,
				pid_t pid)
{
	unsigned int i;

	for (i = 0; i < sum->threads; i++)
		if (sum->thread[i].pid == pid)
			return &sum->thread[i];
	if (e->tgid != sum->opener_pid || sum->threads == THREADS)
		return NULL;
	sum->thread[i].pid = pid;
	sum->thread[i].sys_nr = -1;
	sum->threads++;
	return &sum->thread[i];
}

/* The task a thread waits for ran on its CPU from the later of the two. */
static void tally_instead(struct summary *sum, struct cpu_state *c, u64 from,
			  u64 to)
{
	from = max(from, c->since);
	if (c->seen && to > from)
		tally(sum->instead, c->comm, c->pid, c->prio, 0, to - from);
}

/* Ends the thread's stretch in its state at t, counting its time. */
static void settle(struct summary *sum, struct thread *th, u64 t)
{
	u64 ns = t > th->since ? t - th->since : 0;

	switch (th->state) {
	case T_RUNNING:
		sum->running += ns;
		break;
	case T_WAITING:
		if (th->woken)
			sum->woken += ns;
		else
			sum->preempted += ns;
		break;
	case T_SLEEPING:
		sum->sleeping[th->sleep] += ns;
		break;
	}
	th->since = t;
}

static void note_wakeup(struct summary *sum, const struct wakeup *w)
{
	int i = TOP - 1;

	if (w->delay < sum->wake[i].delay || (sum->wake[i].comm[0] &&
					       w->delay == sum->wake[i].delay))
		return;
	while (i > 0 && (!sum->wake[i - 1].comm[0] ||
			 sum->wake[i - 1].delay < w->delay)) {
		sum->wake[i] = sum->wake[i - 1];
		i--;
	}
	sum->wake[i] = *w;
}

static const char *context_of(const struct event *e)
{
	if (e->ctx & (HARDIRQ_MASK | NMI_MASK))
		return "hardirq";
	if (e->ctx & SOFTIRQ_OFFSET)
		return "softirq";
	return "task";
}

static u8 sleep_kind(unsigned int state)
{
	if (state & TASK_INTERRUPTIBLE)
		return SLEEP_S;
	if (state & TASK_UNINTERRUPTIBLE)
		return SLEEP_D;
	return SLEEP_OTHER;
}

static void on_switch(struct summary *sum, struct cpu_state *c, int cpu,
		      const struct event *e, u64 t)
{
	struct thread *prev = thread_of(sum, e, e->pid);
	struct thread *next = NULL;
	unsigned int i;

	/* The task switched out ran instead of the threads waiting here. */
	for (i = 0; i < sum->threads && !prev; i++)
		if (sum->thread[i].state == T_WAITING &&
		    sum->thread[i].cpu == cpu)
			tally_instead(sum, c, sum->thread[i].since, t);
	if (prev) {
		if (prev->state == T_UNSEEN)
			prev->state = T_RUNNING;
		settle(sum, prev, t);
		prev->cpu = cpu;
		prev->woken = 0;
		if (e->sw.state & TASK_REPORT) {
			prev->state = T_SLEEPING;
			prev->sleep = sleep_kind(e->sw.state);
		} else {
			prev->state = T_WAITING;
		}
	}
	for (i = 0; i < sum->threads; i++)
		if (sum->thread[i].pid == e->sw.next_pid)
			next = &sum->thread[i];
	if (next) {
		if (next->state == T_UNSEEN)
			next->state = T_WAITING;
		/* Waited for another CPU: what ran there until now. */
		if (next->state == T_WAITING && next->cpu != cpu &&
		    next->cpu >= 0 && next->cpu < sum->ncpus)
			tally_instead(sum, &sum->cpu[next->cpu], next->since, t);
		if (next->woken) {
			next->wakeup.delay = t - next->wakeup.at;
			note_wakeup(sum, &next->wakeup);
		}
		settle(sum, next, t);
		next->state = T_RUNNING;
		next->woken = 0;
		next->cpu = cpu;
		c->thread_ran = true;
	}
	c->pid = e->sw.next_pid;
	c->prio = e->sw.next_prio;
	memcpy(c->comm, e->sw.next_comm, TASK_COMM_LEN);
	c->comm[TASK_COMM_LEN - 1] = '\0';
	c->since = t;
	c->seen = true;
}

static void on_wakeup(struct summary *sum, int cpu, const struct event *e,
		      u64 t)
{
	struct thread *th = NULL;
	struct wakeup *w;
	unsigned int i;

	for (i = 0; i < sum->threads; i++)
		if (sum->thread[i].pid == e->wake.pid)
			th = &sum->thread[i];
	if (!th || (th->state != T_SLEEPING && th->state != T_UNSEEN))
		return;
	if (th->state == T_UNSEEN) {
		th->state = T_SLEEPING;
		th->sleep = SLEEP_OTHER;
	}
	settle(sum, th, t);
	th->state = T_WAITING;
	th->woken = 1;
	th->cpu = e->wake.cpu;
	sum->wakeups++;
	w = &th->wakeup;
	memcpy(w->comm, e->comm, TASK_COMM_LEN);
	w->comm[TASK_COMM_LEN - 1] = '\0';
	w->pid = e->pid;
	w->context = context_of(e);
	w->cpu = cpu;
	w->at = t;
}

/* Handlers that ran on a thread's time, on its CPU. */
static void on_handler(struct summary *sum, struct cpu_state *c,
		       const struct event *e, u64 t)
{
	bool entry = e->kind == EV_IRQ_ENTRY || e->kind == EV_VECTOR_ENTRY ||
		     e->kind == EV_SOFTIRQ_ENTRY;
	bool soft = e->kind == EV_SOFTIRQ_ENTRY || e->kind == EV_SOFTIRQ_EXIT;
	bool *in = soft ? &c->in_softirq : &c->in_irq;
	u64 *at = soft ? &c->softirq_at : &c->irq_at;
	char *name = soft ? c->softirq_name : c->irq_name;
	u64 ns;

	if (entry) {
		*in = thread_of(sum, e, e->pid) != NULL;
		*at = t;
		format_handler_name(e, name, sizeof(c->irq_name));
		return;
	}
	if (!*in)
		return;
	*in = false;
	ns = t - *at;
	tally(sum->handlers, name, -1, 0, 1, ns);
	if (soft) {
		sum->softirqs++;
		sum->softirq_ns += ns;
	} else {
		sum->hardirqs++;
		sum->hardirq_ns += ns;
	}
}

static void on_syscall(struct summary *sum, struct thread *th,
		       const struct event *e, u64 t)
{
	if (e->kind == EV_SYSCALL) {
		th->sys_nr = e->sys.nr;
		th->sys_name = format_syscall_name(e);
		th->sys_since = t;
	} else if (th->sys_nr == e->sys.nr) {
		tally(sum->syscalls, th->sys_name, -1, 0, 1, t - th->sys_since);
		th->sys_nr = -1;
	}
}

static void end_stretch(struct cpu_state *c, int k, u64 until)
{
	c->off[k] = false;
	if (until - c->off_at[k] > c->longest[k]) {
		c->longest[k] = until - c->off_at[k];
		c->longest_ip[k] = c->off_ip[k];
		c->longest_kind[k] = c->off_kind[k];
	}
}

/*
 * Stretches with interrupts off (0) and preemption off (1) on a CPU, as
 * far as events show them: from an event with the flag to the last event
 * of the same task with it, a switch ending it. Not the idle task's, which
 * runs with preemption off.
 */
static void on_flags(struct cpu_state *c, const struct event *e, u64 t)
{
	bool off[2] = { e->flags & EVF_IRQS_OFF, e->ctx & PREEMPT_MASK };
	bool hard = e->ctx & (HARDIRQ_MASK | NMI_MASK);
	bool entry = e->kind == EV_IRQ_ENTRY || e->kind == EV_VECTOR_ENTRY;
	bool exit = e->kind == EV_IRQ_EXIT || e->kind == EV_VECTOR_EXIT;
	int k;

	/*
	 * An interrupt came, so interrupts were on before it: its handler is
	 * a stretch of its own, to its exit. Preemption is left to the
	 * interrupted context.
	 */
	if (entry && c->off[0])
		end_stretch(c, 0, c->off_last[0]);
	for (k = 0; k < 2; k++) {
		if (k == 1 && hard)
			break;
		off[k] = off[k] && e->pid != 0;
		if (c->off[k] && (!off[k] || e->pid != c->off_pid[k]))
			end_stretch(c, k, c->off_last[k]);
		if (!off[k])
			continue;
		if (!c->off[k]) {
			c->off[k] = true;
			c->off_pid[k] = e->pid;
			c->off_at[k] = t;
			c->off_ip[k] = e->kind == EV_FUNCTION ? e->fn.ip : 0;
			c->off_kind[k] = e->kind;
		}
		c->off_last[k] = t;
		if (e->kind == EV_SWITCH || (k == 0 && exit))
			end_stretch(c, k, t);
	}
}

/* The threads' longest calls on their own stacks, and their self time. */
static void find_calls(struct summary *sum, const struct graph *g)
{
	const struct cg_call *call;
	unsigned int n, i, j, k;

	call = graph_calls(g, &n);
	for (i = 0; i < n; i++) {
		u64 ns = call[i].end - call[i].start;

		if (!call[i].is_call || call[i].tgid != sum->opener_pid ||
		    call[i].stack != CG_TASK || ns <= sum->call[TOP_CALLS - 1].ns)
			continue;
		for (k = TOP_CALLS - 1; k > 0 && sum->call[k - 1].ns < ns; k--)
			sum->call[k] = sum->call[k - 1];
		sum->call[k].ip = i;	/* the event index, for now */
		sum->call[k].ns = ns;
	}
	for (k = 0; k < TOP_CALLS && sum->call[k].ns; k++) {
		const struct cg_call *c = &call[sum->call[k].ip];
		u64 children = 0;

		for (j = sum->call[k].ip + 1; j < n && call[j].start < c->end;
		     j++)
			if (call[j].is_call && call[j].pid == c->pid &&
			    call[j].stack == CG_TASK &&
			    call[j].depth == c->depth + 1)
				children += call[j].end - call[j].start;
		sum->call[k].self = sum->call[k].ns > children ?
				    sum->call[k].ns - children : 0;
	}
}

struct summary *summary_build(struct snapshot *s, const struct graph *g)
{
	const struct window_info *w = &s->view.w;
	struct summary *sum;
	struct cpu_state *c;
	struct thread *th;
	struct event *e;
	unsigned int i, ev = 0;
	int k, cpu;

	sum = kvzalloc(struct_size(sum, cpu, nr_cpu_ids), GFP_KERNEL);
	if (!sum)
		return NULL;
	sum->ncpus = nr_cpu_ids;
	sum->opener_pid = w->opener_pid;
	memcpy(sum->opener, w->opener_comm, TASK_COMM_LEN);
	sum->length = w->end_ns - w->start_ns;
	sum->lost = s->lost;
	sum->wakeups_recorded = w->knobs[K_WAKEUP_TIMING] == 1;
	if (g)
		graph_counts(g, &sum->open_calls, &sum->untracked);
	snapshot_rewind(s);
	while ((e = snapshot_peek(s))) {
		/* Another CPU's clock may lag: times within the window. */
		u64 t = clamp_t(s64, e->offset_ns, 0, sum->length);

		cpu = s->cpu;
		c = &sum->cpu[cpu];
		if (e->kind == EV_SWITCH) {
			on_switch(sum, c, cpu, e, t);
		} else if (e->kind == EV_WAKEUP) {
			on_wakeup(sum, cpu, e, t);
		} else if (e->kind != EV_WAKEUP_RUN) {
			th = thread_of(sum, e, e->pid);
			if (th && th->state == T_UNSEEN) {
				th->state = T_RUNNING;
				th->cpu = cpu;
				c->thread_ran = true;
			}
			if (e->kind >= EV_IRQ_ENTRY && e->kind <= EV_VECTOR_EXIT)
				on_handler(sum, c, e, t);
			else if (th && (e->kind == EV_SYSCALL ||
					e->kind == EV_SYS_EXIT))
				on_syscall(sum, th, e, t);
		}
		if (!c->seen && e->kind != EV_SWITCH) {
			c->seen = true;
			c->pid = e->pid;
			memcpy(c->comm, e->comm, TASK_COMM_LEN);
			c->comm[TASK_COMM_LEN - 1] = '\0';
			c->prio = -1;
		}
		on_flags(c, e, t);
		snapshot_advance(s);
		ev++;
	}
	snapshot_rewind(s);
	/* The window's end ends every stretch. */
	for (i = 0; i < sum->threads; i++) {
		th = &sum->thread[i];
		if (th->state == T_UNSEEN)
			th->state = T_RUNNING;
		if (th->state == T_WAITING && th->cpu >= 0 &&
		    th->cpu < sum->ncpus)
			tally_instead(sum, &sum->cpu[th->cpu], th->since,
				      sum->length);
		settle(sum, th, sum->length);
		if (th->sys_nr >= 0)
			tally(sum->syscalls, th->sys_name, -1, 0, 1,
			      sum->length - th->sys_since);
	}
	for_each_possible_cpu(cpu) {
		c = &sum->cpu[cpu];
		for (k = 0; k < 2; k++) {
			if (c->off[k])
				end_stretch(c, k, c->off_last[k]);
			if (c->thread_ran && c->longest[k] > sum->off[k].ns) {
				sum->off[k].ns = c->longest[k];
				sum->off[k].ip = c->longest_ip[k];
				sum->off[k].kind = c->longest_kind[k];
				sum->off[k].cpu = cpu;
			}
		}
	}
	if (g)
		find_calls(sum, g);
	sum->no_calls = !g;
	for (i = 0; i < TOP_CALLS && sum->call[i].ns; i++) {
		unsigned int index = sum->call[i].ip;

		/* The call's function, from its entry event. */
		sum->call[i].ip = 0;
		while ((e = snapshot_peek(s)) && s->index < index)
			snapshot_advance(s);
		if (e && s->index == index && e->kind == EV_FUNCTION)
			sum->call[i].ip = e->fn.ip;
		snapshot_rewind(s);
	}
	return sum;
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
		     const struct tally *t, u64 total, bool tasks)
{
	char line[FORMAT_LINE_MAX], b[40];
	bool used[TALLY_SIZE + 1] = { false };
	size_t n = 0;
	int i, k, best;

	line[0] = '\0';
	for (k = 0; k < TOP; k++) {
		best = -1;
		for (i = 0; i <= TALLY_SIZE && t[i].name[0]; i++)
			if (!used[i] && (best < 0 || t[i].ns > t[best].ns))
				best = i;
		if (best < 0)
			break;
		used[best] = true;
		if (tasks && t[best].pid >= 0)
			n += scnprintf(line + n, sizeof(line) - n,
				       "%s%s-%d prio %d %s", k ? ", " : "",
				       t[best].name, t[best].pid, t[best].prio,
				       share(b, sizeof(b), t[best].ns, total));
		else
			n += scnprintf(line + n, sizeof(line) - n,
				       "%s%s %ux %s", k ? ", " : "",
				       t[best].name, t[best].count,
				       share(b, sizeof(b), t[best].ns, total));
	}
	format_line(m, "# %s: %s", key, n ? line : "none");
}

static void show_off(struct seq_file *m, const char *key,
		     const struct summary *sum, int k, u64 total)
{
	char b[40];

	if (!sum->off[k].ns) {
		format_line(m, "# %s: none seen", key);
		return;
	}
	if (sum->off[k].ip)
		format_line(m, "# %s: longest %s on cpu %d, from %ps", key,
			    share(b, sizeof(b), sum->off[k].ns, total),
			    sum->off[k].cpu, (void *)sum->off[k].ip);
	else
		format_line(m, "# %s: longest %s on cpu %d, from a %s event",
			    key, share(b, sizeof(b), sum->off[k].ns, total),
			    sum->off[k].cpu, format_kind_name(sum->off[k].kind));
}

void summary_show(struct seq_file *m, const struct summary *sum)
{
	u64 total = sum->length * max(sum->threads, 1U);
	u64 waiting = sum->preempted + sum->woken;
	u64 sleeping = sum->sleeping[SLEEP_S] + sum->sleeping[SLEEP_D] +
		       sum->sleeping[SLEEP_OTHER];
	char line[FORMAT_LINE_MAX], a[40], b[40], d[40];
	size_t n = 0;
	int i;

	format_line(m, "# where the time went: %s-%d, %u thread%s over %llu us, each figure a share of %llu us",
		    sum->opener, sum->opener_pid, sum->threads,
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
		    div_u64(sum->sleeping[SLEEP_S], NSEC_PER_USEC),
		    div_u64(sum->sleeping[SLEEP_D], NSEC_PER_USEC),
		    div_u64(sum->sleeping[SLEEP_OTHER], NSEC_PER_USEC));
	show_top(m, "ran_instead", sum->instead, total, true);
	line[0] = '\0';
	for (i = 0; i < TOP && sum->wake[i].comm[0]; i++)
		n += scnprintf(line + n, sizeof(line) - n,
			       "%sby %s-%d from %s on cpu %d, running %llu us later",
			       i ? ", " : "", sum->wake[i].comm,
			       sum->wake[i].pid, sum->wake[i].context,
			       sum->wake[i].cpu,
			       div_u64(sum->wake[i].delay, NSEC_PER_USEC));
	if (sum->wakeups_recorded)
		format_line(m, "# woken: %u time%s%s%s", sum->wakeups,
			    sum->wakeups == 1 ? "" : "s", n ? "; " : "", line);
	else
		format_line(m, "# woken: not recorded (wakeup_timing 0)");
	format_line(m, "# interrupts: %u hardirqs %s, %u softirqs %s",
		    sum->hardirqs, share(a, sizeof(a), sum->hardirq_ns, total),
		    sum->softirqs, share(b, sizeof(b), sum->softirq_ns, total));
	show_top(m, "handlers", sum->handlers, total, false);
	show_top(m, "syscalls", sum->syscalls, total, false);
	n = 0;
	line[0] = '\0';
	for (i = 0; i < TOP_CALLS && sum->call[i].ns; i++)
		n += scnprintf(line + n, sizeof(line) - n,
			       "%s%ps %s self %llu us", i ? ", " : "",
			       (void *)sum->call[i].ip,
			       share(a, sizeof(a), sum->call[i].ns, total),
			       div_u64(sum->call[i].self, NSEC_PER_USEC));
	format_line(m, "# longest_calls: %s", n ? line : sum->no_calls ?
		    "not worked out (no memory for the calls)" : "none");
	show_off(m, "irqs_off", sum, 0, total);
	show_off(m, "preempt_off", sum, 1, total);
	format_line(m, "# incomplete: %llu events lost, %u calls open at the window's end, %llu untracked",
		    sum->lost, sum->open_calls, sum->untracked);
	format_line(m, "#");
}
