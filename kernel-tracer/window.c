// SPDX-License-Identifier: GPL-2.0
/*
 * The window markers. An ftrace_ops filtered to the gettimeofday system
 * call's entry function alone sees them, so no other system call pays for
 * it. The caller's arguments are read from the registers saved at system-call
 * entry, compared as raw values and never dereferenced:
 *   gettimeofday(NULL, 1)     opens a window (trace_enabled must be 1),
 *   gettimeofday(NULL, NULL)  closes the open window;
 * both only while trace_user_triggered is 1.
 *
 * A window records into the set of buffers that the report does not show.
 * When it closes it is kept, becoming the shown one, by the rules of
 * ftrace's latency tracers: with preempt_thresh 0 only if it is longer than
 * preempt_max_latency, otherwise if it lasts at least preempt_thresh; a kept
 * window's length becomes preempt_max_latency (window_report_latency()).
 * A window not kept is counted and the report keeps the previous one. A
 * window open while the wide hooks were registered or removed is dropped
 * whatever its length: it timed the tracer's own code patching. The exit of
 * the opener's thread group closes its window too. Closed windows but
 * those count in the histogram (hist.c).
 *
 * The wide hooks go once no window has opened or closed for disarm_ms. A
 * start marker that finds them gone cannot put them back itself (it runs
 * with preemption off): it asks arm.c to do so as its caller returns to
 * user space, and the window opens then, complete from its first event.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/cred.h>
#include <linux/ftrace.h>
#include <linux/jiffies.h>
#include <linux/limits.h>
#include <linux/math64.h>
#include <linux/pid.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/sched/task_stack.h>
#include <linux/smp.h>
#include <linux/string.h>
#include <linux/trace_clock.h>
#include <linux/trace_recursion.h>
#include <asm/syscall.h>

#include "arm.h"
#include "compat.h"
#include "crash_lock.h"
#include "hist.h"
#include "knobs.h"
#include "record.h"
#include "window.h"

/*
 * An arch spinlock, taken with interrupts off: its fast paths are inline, so
 * the marker leaves no function of its own in the window it opens. It nests
 * within arm.c's hooks_mutex; nothing is taken inside it. lockdep does not
 * see it.
 *
 * Everything below is under it, but for set_generation's lockless reads.
 */
static arch_spinlock_t window_lock = __ARCH_SPIN_LOCK_UNLOCKED;
static struct window_info window[SETS];
static int shown_set = -1;	/* the last kept window's set, or -1 */
static int open_set = -1;	/* the open window's set, or -1 */
static unsigned long dropped_not_longer, dropped_short, dropped_hooks;
static unsigned long missed_starts;	/* start markers that found no re-arm slot */
static unsigned long set_generation[SETS];
/*
 * Whether the wide hooks are in place as the knobs ask, and the last time
 * (jiffies) a window opened or closed.
 */
static bool hooks_ready, hooks_changing;
static unsigned long last_use;

/* window_lock with interrupts off; inline, as the marker takes it. */
static __always_inline unsigned long lock_window(void)
{
	unsigned long flags;

	local_irq_save(flags);
	arch_spin_lock(&window_lock);
	return flags;
}

static __always_inline void unlock_window(unsigned long flags)
{
	arch_spin_unlock(&window_lock);
	local_irq_restore(flags);
}

/* Opens a window, or starts the open one again. Under window_lock. */
static void open_window(void)
{
	int set = open_set >= 0 ? open_set : (shown_set == 0 ? 1 : 0);
	struct window_info *w = &window[set];
	struct record_setup setup;
	int k;

	record_stop();
	WRITE_ONCE(set_generation[set], set_generation[set] + 1);
	record_reset(set);
	memset(w, 0, sizeof(*w));
	w->cpu = raw_smp_processor_id();
	WRITE_ONCE(w->opener_pid, task_tgid_nr(current));
	copy_comm(w->opener_comm, current);
	w->opener_uid = from_kuid_munged(&init_user_ns, current_uid());
	w->opener_nice = task_nice(current);
	w->opener_policy = current->policy;
	w->opener_rt_prio = current->rt_priority;
	w->hooks_changed = hooks_changing;
	for (k = 0; k < KNOB_COUNT; k++)
		w->knobs[k] = knob(k);
	w->generation = set_generation[set];
	/* window_process_exit reads it without the lock. */
	WRITE_ONCE(open_set, set);
	last_use = jiffies;

	setup.set = set;
	setup.cpu = w->knobs[K_TRACE_ALL_CPUS] == 1 ? -1 : w->cpu;
	setup.functions = w->knobs[K_MCOUNT_ENABLED] == 1;
	setup.wakeups = w->knobs[K_WAKEUP_TIMING] == 1;
	setup.overwrite = w->knobs[K_TRACE_FREERUNNING] == 1;
	w->start_ns = trace_clock_local();
	setup.start_ns = w->start_ns;
	record_start(&setup);
}

enum verdict { KEEP, DROP_NOT_LONGER, DROP_SHORT, DROP_HOOKS };

/*
 * The keep rule, ftrace's report_latency(): with preempt_thresh 0 a window
 * is kept only if it is longer than preempt_max_latency, otherwise if it
 * lasts at least preempt_thresh.
 */
static enum verdict window_report_latency(u64 length_us)
{
	int thresh = knob(K_PREEMPT_THRESH);

	if (thresh > 0)
		return length_us < thresh ? DROP_SHORT : KEEP;
	return length_us <= knob(K_PREEMPT_MAX_LATENCY) ? DROP_NOT_LONGER : KEEP;
}

/*
 * Closes the open window, keeping or dropping it: by an end marker, or by
 * the exit of the opener's thread group (closer). Every window but those
 * open while the hooks changed counts in the histogram. Under window_lock.
 */
static void close_window(struct task_struct *closer, bool by_exit)
{
	struct window_info *w;
	u64 length_us;

	if (open_set < 0)
		return;
	record_stop();
	w = &window[open_set];
	w->end_ns = trace_clock_local();
	w->closer_pid = task_tgid_nr(closer);
	copy_comm(w->closer_comm, closer);
	w->closed_by_exit = by_exit;
	last_use = jiffies;
	length_us = div_u64(w->end_ns - w->start_ns, NSEC_PER_USEC);
	if (!w->hooks_changed)
		hist_add(length_us);
	switch (w->hooks_changed ? DROP_HOOKS : window_report_latency(length_us)) {
	case DROP_HOOKS:
		dropped_hooks++;
		break;
	case DROP_SHORT:
		dropped_short++;
		break;
	case DROP_NOT_LONGER:
		dropped_not_longer++;
		break;
	case KEEP:
		shown_set = open_set;
		knob_new_max_latency(length_us);
	}
	WRITE_ONCE(open_set, -1);
}

static void notrace on_gettimeofday(unsigned long ip, unsigned long parent_ip,
				    struct ftrace_ops *op,
				    struct ftrace_regs *fregs)
{
	unsigned long args[6];
	unsigned long flags;
	bool rearm = false;
	int bit;

	if (knob(K_TRACE_USER_TRIGGERED) != 1)
		return;
	bit = ftrace_test_recursion_trylock(ip, parent_ip);
	if (bit < 0)
		return;
	/* The caller's registers as saved at system-call entry. */
	syscall_get_arguments(current, task_pt_regs(current), args);
	if (args[0] == 0 && args[1] <= 1) {
		flags = lock_window();
		if (args[1] == 0)
			close_window(current, false);
		else if (knob(K_TRACE_ENABLED) == 1 && hooks_ready)
			open_window();
		else if (knob(K_TRACE_ENABLED) == 1)
			rearm = true;
		unlock_window(flags);
	}
	/* The hooks are gone: the window opens on the way to user space. */
	if (rearm && !arm_request_rearm()) {
		flags = lock_window();
		missed_starts++;
		unlock_window(flags);
	}
	ftrace_test_recursion_unlock(bit);
}

void window_hooks_ready(bool ready)
{
	unsigned long flags;

	flags = lock_window();
	hooks_ready = ready;
	if (ready)
		last_use = jiffies;
	unlock_window(flags);
}

void window_hooks_changing(bool changing)
{
	unsigned long flags;

	flags = lock_window();
	hooks_changing = changing;
	if (open_set >= 0)
		window[open_set].hooks_changed = true;
	unlock_window(flags);
}

/*
 * Whether the hooks may go: no window open, and none opened or closed for
 * idle jiffies. If so, start markers from now on ask for a re-arm; if not,
 * *wait is how long to wait before asking again.
 */
bool window_park(unsigned long idle, unsigned long *wait)
{
	unsigned long flags, due;
	bool park;

	flags = lock_window();
	due = last_use + idle;
	park = open_set < 0 && !time_before(jiffies, due);
	if (park)
		hooks_ready = false;
	else
		*wait = open_set >= 0 ? idle : due - jiffies;
	unlock_window(flags);
	return park;
}

/*
 * A start marker's re-arm is done: open its window now, in its caller's
 * context, if the knobs still ask for one. Process context.
 */
void window_open_rearmed(void)
{
	unsigned long flags;

	flags = lock_window();
	if (hooks_ready && knob(K_TRACE_ENABLED) == 1 &&
	    knob(K_TRACE_USER_TRIGGERED) == 1)
		open_window();
	unlock_window(flags);
}

/* A task exits; if it ends the opener's thread group, the window closes. */
void notrace window_process_exit(void *data, struct task_struct *task)
{
	unsigned long flags;
	int set = READ_ONCE(open_set);

	if (set < 0 || READ_ONCE(window[set].opener_pid) != task->tgid ||
	    atomic_read(&task->signal->live))
		return;
	flags = lock_window();
	if (open_set >= 0 && window[open_set].opener_pid == task->tgid)
		close_window(task, true);
	unlock_window(flags);
}

void window_read_view(struct window_view *v, bool crashing)
{
	unsigned long flags;
	bool locked;

	local_irq_save(flags);
	locked = lock_or_try_at_crash(&window_lock, crashing, arch_spin_lock,
				      arch_spin_trylock);
	v->set = shown_set;
	if (v->set >= 0)
		v->w = window[v->set];
	v->open_now = open_set >= 0;
	v->dropped_not_longer = dropped_not_longer;
	v->dropped_short = dropped_short;
	v->dropped_hooks = dropped_hooks;
	v->missed_starts = missed_starts;
	if (locked)
		arch_spin_unlock(&window_lock);
	local_irq_restore(flags);
}

unsigned long window_generation(int set)
{
	return READ_ONCE(set_generation[set]);
}

static struct ftrace_ops marker_ops = {
	.func = on_gettimeofday,
};

int window_init(void)
{
	int ret;

	ret = ftrace_set_filter(&marker_ops, (unsigned char *)VT_MARKER_FUNCTION,
				strlen(VT_MARKER_FUNCTION), 1);
	if (ret) {
		pr_err("cannot filter on %s: %d\n", VT_MARKER_FUNCTION, ret);
		return ret;
	}
	ret = register_ftrace_function(&marker_ops);
	if (ret) {
		pr_err("cannot hook %s: %d\n", VT_MARKER_FUNCTION, ret);
		ftrace_free_filter(&marker_ops);
	}
	return ret;
}

void window_exit(void)
{
	unregister_ftrace_function(&marker_ops);
	ftrace_free_filter(&marker_ops);
}
