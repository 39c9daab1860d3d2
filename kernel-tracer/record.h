/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Recording (record.c): two sets of per-CPU event buffers, what the hooks
 * record into them, and the probes that do it. arm.c registers the probes;
 * window.c starts and stops recording.
 */
#ifndef VORMEK_TRACER_RECORD_H
#define VORMEK_TRACER_RECORD_H

#include <linux/ftrace.h>
#include <linux/sched.h>
#include <linux/types.h>

#include "event.h"

int record_init(void);
/* After every probe is unregistered. */
void record_exit(void);
/* Events per CPU and set, a power of two. */
unsigned int record_buffer_size(void);

/* What a window records. */
struct record_setup {
	int set;
	int cpu;		/* the only CPU recorded, or -1 for all */
	bool functions, wakeups, overwrite;
	u64 start_ns;		/* trace_clock_local() at the window's start */
};

/* Empties a set. With recording stopped. */
void record_reset(int set);
/* The probes record from now on, as setup says. */
void record_start(const struct record_setup *setup);
void record_stop(void);

/* Events a set holds on one CPU: the first and how many, in write order. */
void record_range(int set, int cpu, bool overwrite, u64 *first, u64 *count,
		  u64 *lost);
struct event *record_event(int set, int cpu, u64 index);

/* The probes, for arm.c to register. They run with preemption off. */
void record_function(unsigned long ip, unsigned long parent_ip,
		     struct ftrace_ops *op, struct ftrace_regs *fregs);
void record_sys_enter(void *data, struct pt_regs *regs, long id);
void record_sys_exit(void *data, struct pt_regs *regs, long ret);
struct irqaction;
void record_irq_entry(void *data, int irq, struct irqaction *action);
void record_irq_exit(void *data, int irq, struct irqaction *action, int ret);
void record_softirq_entry(void *data, unsigned int vec);
void record_softirq_exit(void *data, unsigned int vec);
void record_vector_entry(void *data, int vector);
void record_vector_exit(void *data, int vector);
void record_sched_switch(void *data, bool preempt, struct task_struct *prev,
			 struct task_struct *next, unsigned int prev_state);
void record_sched_waking(void *data, struct task_struct *task);

#endif
