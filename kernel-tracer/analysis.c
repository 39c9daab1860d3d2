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
 *  - its longest calls on its own stack, with their self time, as
 *    callgraph.c ends them;
 *  - on the CPUs it ran on, the longest stretches with interrupts off,
 *    and with preemption off, as far as events show them: an interrupt's
 *    entry shows interrupts were on before it.
 */
#include "analysis.h"

static int same(const char *a, const char *b)
{
	while (*a && *a == *b) {
		a++;
		b++;
	}
	return *a == *b;
}

/* Copies at most n - 1 characters of from, and a NUL. */
static void copy(char *to, const char *from, unsigned int n)
{
	unsigned int i;

	for (i = 0; i + 1 < n && from && from[i]; i++)
		to[i] = from[i];
	to[i] = '\0';
}

static unsigned long long later(unsigned long long a, unsigned long long b)
{
	return a > b ? a : b;
}

/* Adds ns (and a count) to name's entry; the last entry takes the rest. */
static void tally(struct an_list *l, const char *name, int pid, int prio,
		  unsigned int count, unsigned long long ns)
{
	struct an_tally *t = l->entry;
	int i;

	for (i = 0; i < AN_TALLY && t[i].name[0]; i++)
		if (t[i].pid == pid && same(t[i].name, name))
			break;
	if (i < AN_TALLY && !t[i].name[0]) {
		copy(t[i].name, name, AN_NAME);
		t[i].pid = pid;
		t[i].prio = prio;
	} else if (i == AN_TALLY && !t[i].name[0]) {
		copy(t[i].name, "others", AN_NAME);
		t[i].pid = -1;
	}
	t[i].count += count;
	t[i].ns += ns;
}

/* A list's longest entries; the earlier of two alike first. */
static void rank(struct an_list *l)
{
	unsigned char used[AN_TALLY + 1] = { 0 };
	int i, k, best;

	for (k = 0; k < AN_TOP; k++) {
		best = -1;
		for (i = 0; i <= AN_TALLY && l->entry[i].name[0]; i++)
			if (!used[i] && (best < 0 ||
					 l->entry[i].ns > l->entry[best].ns))
				best = i;
		l->top[k] = best;
		if (best >= 0)
			used[best] = 1;
	}
}

/* A thread of the opener, found by pid. */
static struct an_thread *find_thread(struct an_state *a, int pid)
{
	unsigned int i;

	for (i = 0; i < a->sum.threads; i++)
		if (a->thread[i].pid == pid)
			return &a->thread[i];
	return 0;
}

/* The event's own task, followed from here on if it is the opener's. */
static struct an_thread *thread_of(struct an_state *a,
				   const struct an_input *in)
{
	struct an_thread *th = find_thread(a, in->pid);

	if (th || in->tgid != a->sum.opener || a->sum.threads == AN_THREADS)
		return th;
	th = &a->thread[a->sum.threads++];
	th->pid = in->pid;
	th->sys_nr = -1;
	return th;
}

static struct an_cpu *cpu_of(struct an_state *a, int cpu)
{
	return cpu >= 0 && (unsigned int)cpu < a->ncpus ? &a->cpu[cpu] : 0;
}

/* The task a thread waits for ran on its CPU from the later of the two. */
static void tally_instead(struct an_state *a, const struct an_cpu *c,
			  unsigned long long from, unsigned long long to)
{
	if (!c)
		return;
	from = later(from, c->since);
	if (c->seen && to > from)
		tally(&a->sum.instead, c->comm, c->pid, c->prio, 0, to - from);
}

/* Ends the thread's stretch in its state at t, counting its time. */
static void settle(struct an_state *a, struct an_thread *th,
		   unsigned long long t)
{
	unsigned long long ns = t > th->since ? t - th->since : 0;

	switch (th->state) {
	case AN_RUNNING:
		a->sum.running += ns;
		break;
	case AN_WAITING:
		if (th->woken)
			a->sum.woken += ns;
		else
			a->sum.preempted += ns;
		break;
	case AN_SLEEPING:
		a->sum.sleeping[th->sleep] += ns;
		break;
	}
	th->since = t;
}

/* Keeps the AN_TOP wakeups that took longest to run, the first of alike. */
static void note_wakeup(struct an_summary *sum, const struct an_wakeup *w)
{
	int i = AN_TOP - 1;

	if (w->delay < sum->wake[i].delay ||
	    (sum->wake[i].comm[0] && w->delay == sum->wake[i].delay))
		return;
	while (i > 0 && (!sum->wake[i - 1].comm[0] ||
			 sum->wake[i - 1].delay < w->delay)) {
		sum->wake[i] = sum->wake[i - 1];
		i--;
	}
	sum->wake[i] = *w;
}

static void set_task(struct an_cpu *c, int pid, int prio, const char *comm,
		     unsigned long long t)
{
	c->seen = 1;
	c->pid = pid;
	c->prio = prio;
	copy(c->comm, comm, AN_COMM);
	c->since = t;
}

static void on_switch(struct an_state *a, struct an_cpu *c,
		      const struct an_input *in, unsigned long long t)
{
	struct an_thread *prev = thread_of(a, in);
	struct an_thread *next;
	unsigned int i;

	/* The task switched out ran instead of the threads waiting here. */
	for (i = 0; i < a->sum.threads && !prev; i++)
		if (a->thread[i].state == AN_WAITING &&
		    a->thread[i].cpu == in->cpu)
			tally_instead(a, c, a->thread[i].since, t);
	if (prev) {
		if (prev->state == AN_UNSEEN)
			prev->state = AN_RUNNING;
		settle(a, prev, t);
		prev->cpu = in->cpu;
		prev->woken = 0;
		if (in->sw.prev == AN_RUNNABLE) {
			prev->state = AN_WAITING;
		} else {
			prev->state = AN_SLEEPING;
			prev->sleep = in->sw.prev;
		}
	}
	next = find_thread(a, in->sw.next_pid);
	if (next) {
		if (next->state == AN_UNSEEN)
			next->state = AN_WAITING;
		/* Waited for another CPU: what ran there until now. */
		if (next->state == AN_WAITING && next->cpu != in->cpu)
			tally_instead(a, cpu_of(a, next->cpu), next->since, t);
		if (next->woken) {
			next->wakeup.delay = t - next->wakeup.at;
			note_wakeup(&a->sum, &next->wakeup);
		}
		settle(a, next, t);
		next->state = AN_RUNNING;
		next->woken = 0;
		next->cpu = in->cpu;
		c->thread_ran = 1;
	}
	set_task(c, in->sw.next_pid, in->sw.next_prio, in->sw.next_comm, t);
}

static void on_wakeup(struct an_state *a, const struct an_input *in,
		      unsigned long long t)
{
	struct an_thread *th = find_thread(a, in->wake.pid);
	struct an_wakeup *w;

	if (!th || (th->state != AN_SLEEPING && th->state != AN_UNSEEN))
		return;
	if (th->state == AN_UNSEEN) {
		th->state = AN_SLEEPING;
		th->sleep = AN_SLEEP_OTHER;
	}
	settle(a, th, t);
	th->state = AN_WAITING;
	th->woken = 1;
	th->cpu = in->wake.cpu;
	a->sum.wakeups++;
	w = &th->wakeup;
	copy(w->comm, in->comm, AN_COMM);
	w->pid = in->pid;
	w->context = in->context;
	w->cpu = in->cpu;
	w->at = t;
}

/* Handlers that ran on a thread's time, on its CPU. */
static void on_handler(struct an_state *a, struct an_cpu *c,
		       const struct an_input *in, int on_thread,
		       unsigned long long t)
{
	int soft = in->kind == AN_SOFTIRQ_ENTRY || in->kind == AN_SOFTIRQ_EXIT;
	struct an_handler *h = soft ? &c->softirq : &c->hardirq;
	unsigned long long ns;

	if (in->kind == AN_HARDIRQ_ENTRY || in->kind == AN_SOFTIRQ_ENTRY) {
		h->on_thread = (unsigned char)on_thread;
		h->at = t;
		copy(h->name, in->handler, AN_NAME);
		return;
	}
	if (!h->on_thread)
		return;
	h->on_thread = 0;
	ns = t - h->at;
	tally(&a->sum.handlers, h->name, -1, 0, 1, ns);
	if (soft) {
		a->sum.softirqs++;
		a->sum.softirq_ns += ns;
	} else {
		a->sum.hardirqs++;
		a->sum.hardirq_ns += ns;
	}
}

static void on_syscall(struct an_state *a, struct an_thread *th,
		       const struct an_input *in, unsigned long long t)
{
	if (in->kind == AN_SYSCALL) {
		th->sys_nr = in->sys.nr;
		th->sys_name = in->sys.name;
		th->sys_since = t;
	} else if (th->sys_nr == in->sys.nr) {
		tally(&a->sum.syscalls, th->sys_name, -1, 0, 1,
		      t - th->sys_since);
		th->sys_nr = -1;
	}
}

static void end_stretch(struct an_cpu *c, int k, unsigned long long until)
{
	struct an_stretch *s = &c->off[k];

	s->open = 0;
	if (until - s->at > c->longest[k].ns) {
		c->longest[k].ns = until - s->at;
		c->longest[k].ip = s->ip;
		c->longest[k].origin = s->origin;
	}
}

/*
 * Stretches with interrupts off and preemption off on a CPU, as far as
 * events show them: from an event with the flag to the last event of the
 * same task with it, a switch ending it. Not the idle task's, which runs
 * with preemption off.
 */
static void on_flags(struct an_cpu *c, const struct an_input *in,
		     unsigned long long t)
{
	int off[AN_OFF_KINDS] = { in->irqs_off, in->preempt_off };
	int hard = in->context == AN_IN_HARDIRQ;
	int k;

	/*
	 * An interrupt came, so interrupts were on before it: its handler is
	 * a stretch of its own, to its exit. Preemption is left to the
	 * interrupted context.
	 */
	if (in->kind == AN_HARDIRQ_ENTRY && c->off[AN_IRQS_OFF].open)
		end_stretch(c, AN_IRQS_OFF, c->off[AN_IRQS_OFF].last);
	for (k = 0; k < AN_OFF_KINDS; k++) {
		struct an_stretch *s = &c->off[k];

		if (k == AN_PREEMPT_OFF && hard)
			break;
		off[k] = off[k] && in->pid != 0;
		if (s->open && (!off[k] || in->pid != s->pid))
			end_stretch(c, k, s->last);
		if (!off[k])
			continue;
		if (!s->open) {
			s->open = 1;
			s->pid = in->pid;
			s->at = t;
			s->ip = in->kind == AN_FUNCTION ? in->ip : 0;
			s->origin = in->origin;
		}
		s->last = t;
		if (in->kind == AN_SWITCH ||
		    (k == AN_IRQS_OFF && in->kind == AN_HARDIRQ_EXIT))
			end_stretch(c, k, t);
	}
}

void an_begin(struct an_state *a, struct an_cpu *cpus, unsigned int ncpus,
	      int opener, unsigned long long length)
{
	unsigned int i;

	*a = (struct an_state){ 0 };
	for (i = 0; i < ncpus; i++)
		cpus[i] = (struct an_cpu){ 0 };
	a->cpu = cpus;
	a->ncpus = ncpus;
	a->sum.opener = opener;
	a->sum.length = length;
}

void an_feed(struct an_state *a, const struct an_input *in)
{
	struct an_cpu *c = cpu_of(a, in->cpu);
	struct an_thread *th;
	unsigned long long t;

	if (!c)
		return;
	/* Another CPU's clock may lag: times within the window. */
	t = in->time < 0 ? 0 : (unsigned long long)in->time;
	if (t > a->sum.length)
		t = a->sum.length;
	switch (in->kind) {
	case AN_SWITCH:
		on_switch(a, c, in, t);
		break;
	case AN_WAKEUP:
		on_wakeup(a, in, t);
		break;
	case AN_OTHER:
		break;
	default:
		th = thread_of(a, in);
		if (th && th->state == AN_UNSEEN) {
			th->state = AN_RUNNING;
			th->cpu = in->cpu;
			c->thread_ran = 1;
		}
		if (in->kind >= AN_HARDIRQ_ENTRY)
			on_handler(a, c, in, th != 0, t);
		else if (th && in->kind != AN_FUNCTION)
			on_syscall(a, th, in, t);
	}
	if (!c->seen)
		set_task(c, in->pid, -1, in->comm, 0);
	on_flags(c, in, t);
}

/* The longest calls first, the earlier entry of two alike. */
static int longer(const struct an_call *a, unsigned long long ns,
		  unsigned int index)
{
	return ns > a->ns || (ns == a->ns && index < a->index);
}

void an_feed_calls(struct an_state *a, const struct cg_call *calls,
		   unsigned int first)
{
	struct an_call *top = a->sum.call;
	unsigned int i;
	int k;

	for (i = first; i != CG_NONE; i = calls[i].next_closed) {
		const struct cg_call *c = &calls[i];
		unsigned long long ns = c->end - c->start;

		if (!c->is_call || c->tgid != a->sum.opener ||
		    c->stack != CG_TASK || !ns ||
		    (top[AN_TOP_CALLS - 1].ns &&
		     !longer(&top[AN_TOP_CALLS - 1], ns, i)))
			continue;
		for (k = AN_TOP_CALLS - 1;
		     k > 0 && (!top[k - 1].ns || longer(&top[k - 1], ns, i));
		     k--)
			top[k] = top[k - 1];
		top[k].ip = c->ip;
		top[k].ns = ns;
		top[k].self = ns > (unsigned long long)c->child_ns ?
			      ns - c->child_ns : 0;
		top[k].index = i;
	}
}

void an_end(struct an_state *a)
{
	struct an_summary *sum = &a->sum;
	struct an_thread *th;
	struct an_cpu *c;
	unsigned int i;
	int k;

	for (i = 0; i < sum->threads; i++) {
		th = &a->thread[i];
		if (th->state == AN_UNSEEN)
			th->state = AN_RUNNING;
		if (th->state == AN_WAITING)
			tally_instead(a, cpu_of(a, th->cpu), th->since,
				      sum->length);
		settle(a, th, sum->length);
		if (th->sys_nr >= 0)
			tally(&sum->syscalls, th->sys_name, -1, 0, 1,
			      sum->length - th->sys_since);
	}
	for (i = 0; i < a->ncpus; i++) {
		c = &a->cpu[i];
		for (k = 0; k < AN_OFF_KINDS; k++) {
			if (c->off[k].open)
				end_stretch(c, k, c->off[k].last);
			if (c->thread_ran && c->longest[k].ns > sum->off[k].ns) {
				sum->off[k] = c->longest[k];
				sum->off[k].cpu = (int)i;
			}
		}
	}
	rank(&sum->instead);
	rank(&sum->handlers);
	rank(&sum->syscalls);
}

const struct an_summary *an_figures(const struct an_state *a)
{
	return &a->sum;
}

const struct an_tally *an_top(const struct an_list *l, int k)
{
	return k >= 0 && k < AN_TOP && l->top[k] >= 0 ?
	       &l->entry[l->top[k]] : 0;
}
