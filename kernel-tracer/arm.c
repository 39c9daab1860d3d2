// SPDX-License-Identifier: GPL-2.0
/*
 * Arming: the wide hooks (record.c's probes for function entries, context
 * switches, system calls and wakeups, and window.c's exit probe) are
 * registered only while the knobs arm the tracer, and only from process
 * context: a knob write, a start marker's re-arm as its caller returns to
 * user space (task work), the disarm work that removes them once no window
 * has been used for disarm_ms, and unloading.
 *
 * Locks, outermost first:
 *   hooks_mutex (here)         held while the hooks change; taken by knob
 *                              writes, the re-arm task work, the disarm work
 *                              and unloading;
 *   window_lock (window.c)     nests within hooks_mutex: window_hooks_ready(),
 *                              window_park() and window_open_rearmed() take
 *                              it, and nothing is taken inside it;
 *   write_log_lock (knobs.c)   a leaf, never held with the others.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/ftrace.h>
#include <linux/lockdep.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/task_work.h>
#include <linux/tracepoint.h>
#include <linux/wait_bit.h>
#include <linux/workqueue.h>

#include <trace/events/irq.h>
#include <trace/events/sched.h>
#include <trace/events/syscalls.h>

#include "arm.h"
#include "compat.h"
#include "knobs.h"
#include "record.h"
#include "window.h"

static unsigned int disarm_ms = 1000;
module_param(disarm_ms, uint, 0444);
MODULE_PARM_DESC(disarm_ms, "Milliseconds without a window before the hooks are removed, up to 3600000 (default 1000; 0 keeps them)");

#define DISARM_MAX 3600000U

static struct ftrace_ops function_ops = {
	.func = record_function,
};

struct tracepoint_hook {
	const char *name;
	void *probe;
	void *data;		/* the probe's first argument */
	struct tracepoint *tp;
};

/*
 * Each probe is checked against its tracepoint's prototype when the module
 * is built: the unevaluated call to register_trace_<name>() type-checks it,
 * and Kbuild makes a mismatch an error, so a kernel that changes a
 * tracepoint's arguments fails to build rather than be misread.
 */
#define HOOK(tracepoint, fn, arg) \
	{ #tracepoint, fn, arg, NULL }
#define CHECK_PROBE(tracepoint, fn) \
	static_assert(sizeof(register_trace_##tracepoint(fn, NULL)) == \
		      sizeof(int), #fn " matches " #tracepoint)

CHECK_PROBE(sys_enter, record_sys_enter);
CHECK_PROBE(sys_exit, record_sys_exit);
CHECK_PROBE(sched_switch, record_sched_switch);
CHECK_PROBE(sched_process_exit, window_process_exit);
CHECK_PROBE(sched_waking, record_sched_waking);
CHECK_PROBE(irq_handler_entry, record_irq_entry);
CHECK_PROBE(irq_handler_exit, record_irq_exit);
CHECK_PROBE(softirq_entry, record_softirq_entry);
CHECK_PROBE(softirq_exit, record_softirq_exit);
#define CHECK_VECTOR(v) \
	CHECK_PROBE(v##_entry, record_vector_entry); \
	CHECK_PROBE(v##_exit, record_vector_exit);
VT_VECTOR_EVENTS(CHECK_VECTOR)

#define VECTOR_HOOKS(v) \
	HOOK(v##_entry, record_vector_entry, (void *)VT_VECTOR_##v), \
	HOOK(v##_exit, record_vector_exit, (void *)VT_VECTOR_##v),

/* Registered together; the wakeup hook only with wakeup_timing at 1. */
static struct tracepoint_hook event_hooks[] = {
	HOOK(sys_enter, record_sys_enter, NULL),
	HOOK(sys_exit, record_sys_exit, NULL),
	HOOK(sched_switch, record_sched_switch, NULL),
	HOOK(sched_process_exit, window_process_exit, NULL),
	HOOK(irq_handler_entry, record_irq_entry, NULL),
	HOOK(irq_handler_exit, record_irq_exit, NULL),
	HOOK(softirq_entry, record_softirq_entry, NULL),
	HOOK(softirq_exit, record_softirq_exit, NULL),
	VT_VECTOR_EVENTS(VECTOR_HOOKS)
};

static struct tracepoint_hook wakeup_hooks[] = {
	HOOK(sched_waking, record_sched_waking, NULL),
};

static DEFINE_MUTEX(hooks_mutex);
/* Under hooks_mutex; read without it by arm_read_state(). */
static struct arm_state hooked;
static bool unloading;

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

	lockdep_assert_held(&hooks_mutex);
	if (on == *state)
		return;
	if (!on) {
		for (i = 0; i < n; i++)
			tracepoint_probe_unregister(hooks[i].tp, hooks[i].probe,
						    hooks[i].data);
		WRITE_ONCE(*state, false);
		return;
	}
	for (i = 0; i < n; i++) {
		ret = tracepoint_probe_register(hooks[i].tp, hooks[i].probe,
						hooks[i].data);
		if (ret) {
			pr_warn("cannot hook tracepoint %s: %d\n",
				hooks[i].name, ret);
			while (i--)
				tracepoint_probe_unregister(hooks[i].tp,
							    hooks[i].probe,
							    hooks[i].data);
			return;
		}
	}
	WRITE_ONCE(*state, true);
}

static void hook_functions(bool on)
{
	int ret;

	lockdep_assert_held(&hooks_mutex);
	if (on == hooked.functions)
		return;
	if (!on) {
		unregister_ftrace_function(&function_ops);
		WRITE_ONCE(hooked.functions, false);
		return;
	}
	ret = register_ftrace_function(&function_ops);
	WRITE_ONCE(hooked.functions_error, ret);
	if (ret)
		pr_warn("cannot hook function entries: %d\n", ret);
	else
		WRITE_ONCE(hooked.functions, true);
}

/* The knobs whose writes put parked hooks back; the others leave them. */
static bool arming_knob(enum knob k)
{
	return k == K_TRACE_ENABLED || k == K_TRACE_USER_TRIGGERED ||
	       k == K_WAKEUP_TIMING || k == K_MCOUNT_ENABLED;
}

static void disarm_fn(struct work_struct *work);
static DECLARE_DELAYED_WORK(disarm_work, disarm_fn);

/*
 * Makes the hooks match the knobs: the switch, system-call and exit hooks
 * while trace_enabled and trace_user_triggered are 1, with them the wakeup
 * hook while wakeup_timing is 1 and the function hook while mcount_enabled
 * is 1; none while parked, unless rearm ends the parking.
 */
static void sync_locked(bool rearm)
{
	bool armed = !unloading && knob(K_TRACE_ENABLED) == 1 &&
		     knob(K_TRACE_USER_TRIGGERED) == 1;
	bool on, wakeups, functions, changing;

	lockdep_assert_held(&hooks_mutex);
	if (rearm || !armed)
		WRITE_ONCE(hooked.parked, false);
	on = armed && !hooked.parked;
	wakeups = on && knob(K_WAKEUP_TIMING) == 1;
	functions = on && knob(K_MCOUNT_ENABLED) == 1;
	changing = on != hooked.events || wakeups != hooked.wakeups ||
		   functions != hooked.functions;
	/* Markers stop opening windows before the hooks go. */
	if (!on)
		window_hooks_ready(false);
	if (changing)
		window_hooks_changing(true);
	hook_tracepoints(event_hooks, ARRAY_SIZE(event_hooks), on,
			 &hooked.events);
	hook_tracepoints(wakeup_hooks, ARRAY_SIZE(wakeup_hooks), wakeups,
			 &hooked.wakeups);
	hook_functions(functions);
	if (changing)
		window_hooks_changing(false);
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
 * is killable: -EINTR if the writer is killed meanwhile, the hooks then
 * left to the next sync.
 */
int arm_knob_written(enum knob k)
{
	if (mutex_lock_killable(&hooks_mutex))
		return -EINTR;
	sync_locked(arming_knob(k));
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
		WRITE_ONCE(hooked.parked, true);
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

bool arm_request_rearm(void)
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

/* Lockless, for the report: each field as it was at some moment. */
void arm_read_state(struct arm_state *s)
{
	s->events = READ_ONCE(hooked.events);
	s->wakeups = READ_ONCE(hooked.wakeups);
	s->functions = READ_ONCE(hooked.functions);
	s->parked = READ_ONCE(hooked.parked);
	s->functions_error = READ_ONCE(hooked.functions_error);
}

unsigned int arm_disarm_ms(void)
{
	return disarm_ms;
}

int arm_init(void)
{
	size_t i;

	if (disarm_ms > DISARM_MAX) {
		pr_err("disarm_ms=%u is out of range (0 to %u)\n", disarm_ms,
		       DISARM_MAX);
		return -EINVAL;
	}
	for_each_kernel_tracepoint(find_tracepoint, NULL);
	for (i = 0; i < ARRAY_SIZE(event_hooks); i++)
		if (!event_hooks[i].tp)
			goto missing;
	for (i = 0; i < ARRAY_SIZE(wakeup_hooks); i++)
		if (!wakeup_hooks[i].tp)
			goto missing;
	return 0;
missing:
	pr_err("a tracepoint this tracer needs is missing\n");
	return -ENOENT;
}

/*
 * After the markers are unhooked: pending re-arms do nothing and are waited
 * for (their callers are on their way to user space), the disarm work is
 * cancelled, then every hook goes and no probe runs any more.
 */
void arm_exit(void)
{
	WRITE_ONCE(unloading, true);
	wait_var_event(&rearm_busy, !READ_ONCE(rearm_busy));
	cancel_delayed_work_sync(&disarm_work);
	mutex_lock(&hooks_mutex);
	sync_locked(false);
	mutex_unlock(&hooks_mutex);
	tracepoint_synchronize_unregister();
}
