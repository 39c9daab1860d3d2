// SPDX-License-Identifier: GPL-2.0
/*
 * Recording: two sets of per-CPU event buffers, the wide hooks that fill
 * them (function entries through an ftrace_ops; context switches, system
 * calls and wakeups through tracepoints), and arming those hooks.
 *
 * The hooks are registered only while the knobs arm the tracer, and only
 * from process context (a knob write, loading, unloading). Their callbacks
 * run with preemption off, also on PREEMPT_RT: they take no lock, allocate
 * nothing and wake nobody. Each CPU writes only its own buffer; a slot is
 * claimed with a local_t, which is safe against the interrupts and NMIs that
 * may nest on the same CPU.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/compat.h>
#include <linux/ftrace.h>
#include <linux/mutex.h>
#include <linux/percpu.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/trace_clock.h>
#include <linux/trace_recursion.h>
#include <linux/tracepoint.h>
#include <linux/vmalloc.h>
#include <asm/local.h>

#include "compat.h"
#include "tracer.h"

struct cpu_heads {
	local_t head[SETS];	/* events written in the window, lost ones too */
};

static DEFINE_PER_CPU(struct cpu_heads, heads);
static struct event *sets[SETS];	/* nr_cpu_ids * buffer_size each */

/*
 * Wakeup stamps, to time a wakeup to the woken task's run: a slot per pid
 * modulo the table's size, holding (pid + 1) << 42 | time in the window.
 * A slot is one word, written and claimed atomically, so two tasks sharing
 * a slot only lose a latency, never mix two.
 */
#define WAKE_SLOTS 1024
#define WAKE_TIME_BITS 42
#define WAKE_TIME_MASK ((1ULL << WAKE_TIME_BITS) - 1)
static u64 wake_stamp[WAKE_SLOTS];

void set_cpu_range(int set, int cpu, bool overwrite, u64 *first, u64 *count,
		   u64 *lost)
{
	u64 head = local_read(&per_cpu_ptr(&heads, cpu)->head[set]);

	*count = min_t(u64, head, buffer_size);
	*lost = head - *count;
	/* Overwriting keeps the newest events, stopping the oldest. */
	*first = overwrite ? head - *count : 0;
}

struct event *set_event(int set, int cpu, u64 index)
{
	return &sets[set][(size_t)cpu * buffer_size +
			  (index & (buffer_size - 1))];
}

/* Called by the start marker, with recording off. */
void reset_set(int set)
{
	int cpu;

	for_each_possible_cpu(cpu)
		local_set(&per_cpu_ptr(&heads, cpu)->head[set], 0);
	memset(wake_stamp, 0, sizeof(wake_stamp));
}

/* Whether this CPU records now. */
static __always_inline bool want(void)
{
	int cpu = READ_ONCE(rec.cpu);

	return READ_ONCE(rec.recording) &&
	       (cpu < 0 || cpu == raw_smp_processor_id());
}

/* Claims and stamps this CPU's next slot, or NULL when it is full. */
static __always_inline struct event *begin_event(u8 kind,
						 struct task_struct *task)
{
	int set = READ_ONCE(rec.set);
	long index = local_inc_return(&this_cpu_ptr(&heads)->head[set]) - 1;
	struct event *e;

	if (index >= buffer_size && !READ_ONCE(rec.overwrite))
		return NULL;
	e = set_event(set, raw_smp_processor_id(), index);
	e->offset_ns = (s64)(trace_clock_local() - READ_ONCE(rec.start_ns));
	e->ctx = preempt_count() | (irqs_disabled() ? CTX_IRQS_OFF : 0);
	e->pid = task->pid;
	copy_comm(e->comm, task);
	e->kind = kind;
	e->flag = 0;
	return e;
}

static void notrace on_function(unsigned long ip, unsigned long parent_ip,
				struct ftrace_ops *op, struct ftrace_regs *fregs)
{
	struct event *e;
	int bit;

	/* The cost of an armed tracer with no window open ends here. */
	if (!READ_ONCE(rec.recording) || !READ_ONCE(rec.functions))
		return;
	/* Also disables preemption until the unlock. */
	bit = ftrace_test_recursion_trylock(ip, parent_ip);
	if (bit < 0)
		return;
	if (want()) {
		e = begin_event(EV_FUNCTION, current);
		if (e) {
			e->fn.ip = ip;
			e->fn.parent_ip = parent_ip;
		}
	}
	ftrace_test_recursion_unlock(bit);
}

static struct ftrace_ops function_ops = {
	.func = on_function,
};

static void notrace probe_sys_enter(void *data, struct pt_regs *regs, long id)
{
	struct event *e;

	if (!want())
		return;
	e = begin_event(EV_SYSCALL, current);
	if (e) {
		e->sys.nr = id;
		e->flag = in_compat_syscall();
	}
}

/* The woken task runs: the time since its wakeup, if one was stamped. */
static __always_inline void wakeup_ran(struct task_struct *task)
{
	u64 *slot = &wake_stamp[task->pid % WAKE_SLOTS];
	u64 stamp = READ_ONCE(*slot);
	struct event *e;

	if (!stamp || stamp >> WAKE_TIME_BITS != (u64)task->pid + 1)
		return;
	if (cmpxchg(slot, stamp, 0) != stamp)
		return;
	e = begin_event(EV_WAKEUP_RUN, task);
	if (e)
		e->run.delay_ns = max_t(s64, e->offset_ns -
					(s64)(stamp & WAKE_TIME_MASK), 0);
}

static void notrace probe_sched_switch(void *data, bool preempt,
				       struct task_struct *prev,
				       struct task_struct *next,
				       unsigned int prev_state)
{
	struct event *e;

	if (!want())
		return;
	e = begin_event(EV_SWITCH, prev);
	if (e) {
		e->sw.next_pid = next->pid;
		e->sw.prev_state = prev_state;
		copy_comm(e->sw.next_comm, next);
		e->flag = preempt;
	}
	if (READ_ONCE(rec.wakeups))
		wakeup_ran(next);
}

static void notrace probe_sched_wakeup(void *data, struct task_struct *task)
{
	struct event *e;
	s64 offset;

	if (!want() || !READ_ONCE(rec.wakeups))
		return;
	e = begin_event(EV_WAKEUP, current);
	if (e) {
		e->wake.pid = task->pid;
		e->wake.cpu = task_cpu(task);
		copy_comm(e->wake.comm, task);
		offset = e->offset_ns;
	} else {
		offset = (s64)(trace_clock_local() - READ_ONCE(rec.start_ns));
	}
	WRITE_ONCE(wake_stamp[task->pid % WAKE_SLOTS],
		   ((u64)task->pid + 1) << WAKE_TIME_BITS |
		   ((u64)max_t(s64, offset, 0) & WAKE_TIME_MASK));
}

struct tracepoint_hook {
	const char *name;
	void *probe;
	struct tracepoint *tp;
};

/* Registered together; the wakeup hook only with wakeup_timing at 1. */
static struct tracepoint_hook event_hooks[] = {
	{ "sys_enter", probe_sys_enter, NULL },
	{ "sched_switch", probe_sched_switch, NULL },
};

static struct tracepoint_hook wakeup_hooks[] = {
	{ "sched_wakeup", probe_sched_wakeup, NULL },
};

struct hook_state hooked;
static DEFINE_MUTEX(hooks_mutex);

static void find_tracepoint(struct tracepoint *tp, void *priv)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(event_hooks); i++)
		if (!strcmp(tp->name, event_hooks[i].name))
			event_hooks[i].tp = tp;
	for (i = 0; i < ARRAY_SIZE(wakeup_hooks); i++)
		if (!strcmp(tp->name, wakeup_hooks[i].name))
			wakeup_hooks[i].tp = tp;
}

/* Hooks or unhooks a group of tracepoints; all or none stay hooked. */
static void hook_tracepoints(struct tracepoint_hook *hooks, size_t n, bool on,
			     bool *state)
{
	size_t i;
	int ret;

	if (on == *state)
		return;
	if (!on) {
		for (i = 0; i < n; i++)
			tracepoint_probe_unregister(hooks[i].tp, hooks[i].probe,
						    NULL);
		*state = false;
		return;
	}
	for (i = 0; i < n; i++) {
		ret = tracepoint_probe_register(hooks[i].tp, hooks[i].probe,
						NULL);
		if (ret) {
			pr_warn("cannot hook tracepoint %s: %d\n",
				hooks[i].name, ret);
			while (i--)
				tracepoint_probe_unregister(hooks[i].tp,
							    hooks[i].probe,
							    NULL);
			return;
		}
	}
	*state = true;
}

static void hook_functions(bool on)
{
	int ret;

	if (on == hooked.functions)
		return;
	if (!on) {
		unregister_ftrace_function(&function_ops);
		hooked.functions = false;
		return;
	}
	ret = register_ftrace_function(&function_ops);
	hooked.functions_error = ret;
	if (ret)
		pr_warn("cannot hook function entries: %d\n", ret);
	else
		hooked.functions = true;
}

/*
 * Makes the hooks match the knobs: the switch and system-call hooks while
 * trace_enabled and trace_user_triggered are 1, with them the wakeup hook
 * while wakeup_timing is 1 and the function hook while mcount_enabled is 1.
 * Process context only: registering takes mutexes and patches code.
 */
void sync_hooks(bool unloading)
{
	bool armed = !unloading && knob(K_TRACE_ENABLED) == 1 &&
		     knob(K_TRACE_USER_TRIGGERED) == 1;

	mutex_lock(&hooks_mutex);
	hook_tracepoints(event_hooks, ARRAY_SIZE(event_hooks), armed,
			 &hooked.events);
	hook_tracepoints(wakeup_hooks, ARRAY_SIZE(wakeup_hooks),
			 armed && knob(K_WAKEUP_TIMING) == 1, &hooked.wakeups);
	hook_functions(armed && knob(K_MCOUNT_ENABLED) == 1);
	mutex_unlock(&hooks_mutex);
}

int record_init(void)
{
	size_t i;
	int s;

	for_each_kernel_tracepoint(find_tracepoint, NULL);
	for (i = 0; i < ARRAY_SIZE(event_hooks); i++)
		if (!event_hooks[i].tp)
			goto missing;
	if (!wakeup_hooks[0].tp)
		goto missing;
	for (s = 0; s < SETS; s++) {
		sets[s] = vzalloc(array3_size(nr_cpu_ids, buffer_size,
					      sizeof(struct event)));
		if (!sets[s]) {
			while (s--)
				vfree(sets[s]);
			return -ENOMEM;
		}
	}
	return 0;
missing:
	pr_err("a tracepoint this tracer needs is missing\n");
	return -ENOENT;
}

void record_exit(void)
{
	int s;

	sync_hooks(true);
	tracepoint_synchronize_unregister();
	for (s = 0; s < SETS; s++)
		vfree(sets[s]);
}
