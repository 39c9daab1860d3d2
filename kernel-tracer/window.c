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
 * When it closes it becomes the shown one, unless preempt_thresh drops it
 * for being shorter; the report then keeps the previous window.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/ftrace.h>
#include <linux/limits.h>
#include <linux/math64.h>
#include <linux/pid.h>
#include <linux/sched.h>
#include <linux/sched/task_stack.h>
#include <linux/smp.h>
#include <linux/string.h>
#include <linux/trace_clock.h>
#include <linux/trace_recursion.h>
#include <asm/syscall.h>

#include "tracer.h"

#define MARKER_FUNCTION "__x64_sys_gettimeofday"

struct recorder rec = { .cpu = -1 };
/*
 * An arch spinlock, taken with interrupts off: its fast paths are inline, so
 * the marker leaves no function of its own in the window it opens.
 */
arch_spinlock_t window_lock = __ARCH_SPIN_LOCK_UNLOCKED;
struct window_info window[SETS];
int shown_set = -1;
int open_set = -1;
unsigned long dropped_windows;
unsigned long set_generation[SETS];

/* Opens a window, or starts the open one again. Under window_lock. */
static void open_window(void)
{
	int set = open_set >= 0 ? open_set : (shown_set == 0 ? 1 : 0);
	struct window_info *w = &window[set];
	int k;

	WRITE_ONCE(rec.recording, 0);
	set_generation[set]++;
	reset_set(set);
	memset(w, 0, sizeof(*w));
	w->state = WINDOW_OPEN;
	w->cpu = raw_smp_processor_id();
	w->opener_pid = task_tgid_nr(current);
	copy_comm(w->opener_comm, current);
	for (k = 0; k < KNOB_COUNT; k++)
		w->knobs[k] = knob(k);
	w->generation = set_generation[set];
	open_set = set;

	rec.set = set;
	rec.cpu = w->knobs[K_TRACE_ALL_CPUS] == 1 ? -1 : w->cpu;
	rec.functions = w->knobs[K_MCOUNT_ENABLED] == 1;
	rec.wakeups = w->knobs[K_WAKEUP_TIMING] == 1;
	rec.overwrite = w->knobs[K_TRACE_FREERUNNING] == 1;
	w->start_ns = trace_clock_local();
	rec.start_ns = w->start_ns;
	/* The hooks see the settings above before they see recording. */
	smp_wmb();
	WRITE_ONCE(rec.recording, 1);
}

/* Closes the open window, keeping or dropping it. Under window_lock. */
static void close_window(void)
{
	struct window_info *w;
	u64 length_us;
	int thresh;

	if (open_set < 0)
		return;
	WRITE_ONCE(rec.recording, 0);
	w = &window[open_set];
	w->end_ns = trace_clock_local();
	w->state = WINDOW_CLOSED;
	w->closer_pid = task_tgid_nr(current);
	copy_comm(w->closer_comm, current);
	length_us = div_u64(w->end_ns - w->start_ns, NSEC_PER_USEC);
	thresh = knob(K_PREEMPT_THRESH);
	if (thresh > 0 && length_us < thresh) {
		dropped_windows++;
	} else {
		shown_set = open_set;
		if (length_us > knob(K_PREEMPT_MAX_LATENCY))
			WRITE_ONCE(knob_values[K_PREEMPT_MAX_LATENCY],
				   min_t(u64, length_us, INT_MAX));
	}
	open_set = -1;
}

static void notrace on_gettimeofday(unsigned long ip, unsigned long parent_ip,
				    struct ftrace_ops *op,
				    struct ftrace_regs *fregs)
{
	unsigned long args[6];
	unsigned long flags;
	int bit;

	if (knob(K_TRACE_USER_TRIGGERED) != 1)
		return;
	bit = ftrace_test_recursion_trylock(ip, parent_ip);
	if (bit < 0)
		return;
	/* The caller's registers as saved at system-call entry. */
	syscall_get_arguments(current, task_pt_regs(current), args);
	if (args[0] == 0 && args[1] <= 1) {
		local_irq_save(flags);
		arch_spin_lock(&window_lock);
		if (args[1] == 0)
			close_window();
		else if (knob(K_TRACE_ENABLED) == 1)
			open_window();
		arch_spin_unlock(&window_lock);
		local_irq_restore(flags);
	}
	ftrace_test_recursion_unlock(bit);
}

static struct ftrace_ops marker_ops = {
	.func = on_gettimeofday,
};

int window_init(void)
{
	int ret;

	ret = ftrace_set_filter(&marker_ops, (unsigned char *)MARKER_FUNCTION,
				strlen(MARKER_FUNCTION), 1);
	if (ret) {
		pr_err("cannot filter on %s: %d\n", MARKER_FUNCTION, ret);
		return ret;
	}
	ret = register_ftrace_function(&marker_ops);
	if (ret) {
		pr_err("cannot hook %s: %d\n", MARKER_FUNCTION, ret);
		ftrace_free_filter(&marker_ops);
	}
	return ret;
}

void window_exit(void)
{
	unregister_ftrace_function(&marker_ops);
	ftrace_free_filter(&marker_ops);
}
