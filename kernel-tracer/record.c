// SPDX-License-Identifier: GPL-2.0
/*
 * Recording: two sets of per-CPU event buffers, the wide hooks that fill
 * them (function entries through an ftrace_ops; context switches, system
 * calls and wakeups through tracepoints), and arming those hooks.
 *
 * The hooks are registered only while the knobs arm the tracer, and only
 * from process context: a knob write, a start marker's re-arm as its caller
 * returns to user space (task work), the disarm work that removes them once
 * no window has been used for disarm_ms, and unloading. Their callbacks
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
#include <linux/task_work.h>
#include <linux/tracepoint.h>
#include <linux/vmalloc.h>
#include <linux/wait_bit.h>
#include <linux/workqueue.h>
#include <asm/local.h>
#include <asm/syscall.h>

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

/*
 * Claims and stamps this CPU's next slot, or NULL when it is full. The
 * context is what ftrace's flags column shows; like ftrace, it leaves out
 * the preemption level that the hook itself (an ftrace callback or a
 * tracepoint) adds.
 */
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
	e->ctx = preempt_count() - (IS_ENABLED(CONFIG_PREEMPTION) ? 1 : 0);
	e->flags = (irqs_disabled() ? EVF_IRQS_OFF : 0) |
		   (tif_need_resched() ? EVF_NEED_RESCHED : 0) |
		   (test_preempt_need_resched() ? EVF_PREEMPT_RESCHED : 0) |
		   (in_serving_softirq() ? EVF_SOFTIRQ : 0) |
		   (softirq_count() >> (SOFTIRQ_SHIFT + 1) ? EVF_BH_OFF : 0);
	e->migrate = min(vt_migration_disabled(current), 15U);
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
		syscall_get_arguments(current, regs, e->sys.args);
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
	if (e) {
		e->run.delay_ns = max_t(s64, e->offset_ns -
					(s64)(stamp & WAKE_TIME_MASK), 0);
		e->run.prio = task->prio;
	}
}

/*
 * The state the sched_switch event records: one bit per reported state, or
 * TASK_REPORT_MAX for a task that was preempted (printed "R+").
 */
static __always_inline unsigned int switch_state(bool preempt,
						 unsigned int prev_state,
						 struct task_struct *prev)
{
	unsigned int index;

	if (preempt)
		return TASK_REPORT_MAX;
	index = __task_state_index(prev_state, prev->exit_state);
	return index ? 1U << (index - 1) : 0;
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
		e->sw.prev_prio = prev->prio;
		e->sw.next_prio = next->prio;
		e->sw.state = switch_state(preempt, prev_state, prev);
		copy_comm(e->sw.next_comm, next);
	}
	if (READ_ONCE(rec.wakeups))
		wakeup_ran(next);
}

/* A wakeup begins, in the waker's context, as the sched_waking event. */
static void notrace probe_sched_waking(void *data, struct task_struct *task)
{
	struct event *e;
	s64 offset;

	if (!want() || !READ_ONCE(rec.wakeups))
		return;
	e = begin_event(EV_WAKEUP, current);
	if (e) {
		e->wake.pid = task->pid;
		e->wake.prio = task->prio;
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

/* The thread group that opened the window ends: the window closes. */
static void notrace probe_process_exit(void *data, struct task_struct *task)
{
	if (READ_ONCE(rec.recording))
		window_opener_exit(task);
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
	{ "sched_process_exit", probe_process_exit, NULL },
};

static struct tracepoint_hook wakeup_hooks[] = {
	{ "sched_waking", probe_sched_waking, NULL },
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

/* The knobs whose writes put parked hooks back; the others leave them. */
bool arming_knob(int k)
{
	return k == K_TRACE_ENABLED || k == K_TRACE_USER_TRIGGERED ||
	       k == K_WAKEUP_TIMING || k == K_MCOUNT_ENABLED;
}

static void disarm_fn(struct work_struct *work);
static DECLARE_DELAYED_WORK(disarm_work, disarm_fn);
static bool unloading;

/*
 * Makes the hooks match the knobs: the switch, system-call and exit hooks
 * while trace_enabled and trace_user_triggered are 1, with them the wakeup
 * hook while wakeup_timing is 1 and the function hook while mcount_enabled
 * is 1; none while parked, unless rearm ends the parking. Under hooks_mutex.
 */
static void sync_locked(bool rearm)
{
	bool armed = !unloading && knob(K_TRACE_ENABLED) == 1 &&
		     knob(K_TRACE_USER_TRIGGERED) == 1;
	bool on;

	if (rearm || !armed)
		hooked.parked = false;
	on = armed && !hooked.parked;
	/* Markers stop opening windows before the hooks go. */
	if (!on)
		window_hooks_ready(false);
	hook_tracepoints(event_hooks, ARRAY_SIZE(event_hooks), on,
			 &hooked.events);
	hook_tracepoints(wakeup_hooks, ARRAY_SIZE(wakeup_hooks),
			 on && knob(K_WAKEUP_TIMING) == 1, &hooked.wakeups);
	hook_functions(on && knob(K_MCOUNT_ENABLED) == 1);
	if (on) {
		window_hooks_ready(true);
		if (disarm_ms)
			mod_delayed_work(system_unbound_wq, &disarm_work,
					 msecs_to_jiffies(disarm_ms));
	}
}

/*
 * Process context only: registering takes mutexes and patches code, which
 * another caller may be doing (in an emulator that takes seconds). The wait
 * is killable: -EINTR if the caller is killed meanwhile, the hooks then
 * left to the next sync.
 */
int sync_hooks(bool rearm)
{
	if (mutex_lock_killable(&hooks_mutex))
		return -EINTR;
	sync_locked(rearm);
	mutex_unlock(&hooks_mutex);
	return 0;
}

/*
 * Removes the hooks once no window has been used for disarm_ms. If another
 * caller is changing them, this looks again later rather than wait.
 */
static void disarm_fn(struct work_struct *work)
{
	unsigned long wait = msecs_to_jiffies(disarm_ms);

	if (!mutex_trylock(&hooks_mutex)) {
		queue_delayed_work(system_unbound_wq, &disarm_work, wait);
		return;
	}
	if (!hooked.events && !hooked.wakeups && !hooked.functions) {
		/* Nothing to remove. */
	} else if (window_park(msecs_to_jiffies(disarm_ms), &wait)) {
		hooked.parked = true;
		sync_locked(false);
	} else {
		queue_delayed_work(system_unbound_wq, &disarm_work, wait);
	}
	mutex_unlock(&hooks_mutex);
}

/*
 * Re-arms asked for by start markers that found the hooks parked: task work
 * on the marker's caller, run as it returns to user space. A marker cannot
 * allocate, so the work items come from a fixed pool; a bit marks one in use
 * from the marker until its work has run.
 */
#define REARM_SLOTS 16

static struct callback_head rearm_head[REARM_SLOTS];
static unsigned long rearm_busy;

static void rearm_fn(struct callback_head *head)
{
	int slot = head - rearm_head;

	/* A caller killed while it waits opens no window. */
	if (!READ_ONCE(unloading) && !mutex_lock_killable(&hooks_mutex)) {
		sync_locked(true);
		window_open_rearmed();
		mutex_unlock(&hooks_mutex);
	}
	clear_bit_unlock(slot, &rearm_busy);
	wake_up_var(&rearm_busy);
}

/* From a start marker: false if no re-arm could be queued. */
bool request_rearm(void)
{
	int slot;

	if (READ_ONCE(unloading))
		return false;
	for (slot = 0; slot < REARM_SLOTS; slot++)
		if (!test_and_set_bit_lock(slot, &rearm_busy))
			break;
	if (slot == REARM_SLOTS)
		return false;
	init_task_work(&rearm_head[slot], rearm_fn);
	if (task_work_add(current, &rearm_head[slot], TWA_RESUME)) {
		clear_bit_unlock(slot, &rearm_busy);
		return false;
	}
	return true;
}

/* A set's size: every CPU's buffer. */
static size_t set_bytes(void)
{
	return array3_size(nr_cpu_ids, buffer_size, sizeof(struct event));
}

/* Allocated zeroed, quietly: a size that cannot be had is one log line. */
static struct event *alloc_set(void)
{
	return __vmalloc(set_bytes(), GFP_KERNEL | __GFP_ZERO | __GFP_NOWARN |
			 __GFP_RETRY_MAYFAIL);
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
		sets[s] = alloc_set();
		if (!sets[s]) {
			pr_err("cannot allocate buffers of %u events per CPU (buffer_size), %zu bytes each\n",
			       buffer_size, set_bytes());
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

/*
 * After the markers are unhooked: pending re-arms do nothing and are waited
 * for (their callers are on their way to user space), the disarm work is
 * cancelled, then every hook goes.
 */
void record_exit(void)
{
	int s;

	WRITE_ONCE(unloading, true);
	wait_var_event(&rearm_busy, !READ_ONCE(rearm_busy));
	cancel_delayed_work_sync(&disarm_work);
	mutex_lock(&hooks_mutex);
	sync_locked(false);
	mutex_unlock(&hooks_mutex);
	tracepoint_synchronize_unregister();
	for (s = 0; s < SETS; s++)
		vfree(sets[s]);
}
