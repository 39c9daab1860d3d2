/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What the parts share without owning: the layout of a recorded event,
 * the stacks it may run on, and copy_comm. No part's variables are declared here.
 */
#ifndef VORMEK_TRACER_EVENT_H
#define VORMEK_TRACER_EVENT_H

#include <linux/build_bug.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/types.h>

/* A task's name, copied directly: get_task_comm may not be used in hooks. */
static __always_inline void copy_comm(char *to, const struct task_struct *t)
{
	memcpy(to, t->comm, TASK_COMM_LEN);
	to[TASK_COMM_LEN - 1] = '\0';
}

/* Two sets of buffers: the last kept window's, and the one being recorded. */
#define SETS 2

enum event_kind {
	EV_FUNCTION,
	EV_SWITCH,
	EV_SYSCALL,
	EV_WAKEUP,	/* the line's task is waking another */
	EV_WAKEUP_RUN,	/* the line's task ran after its wakeup */
	EV_SYS_EXIT,
	EV_IRQ_ENTRY,	/* a hard interrupt's handler */
	EV_IRQ_EXIT,
	EV_SOFTIRQ_ENTRY,
	EV_SOFTIRQ_EXIT,
	EV_VECTOR_ENTRY,	/* an interrupt vector served without a handler */
	EV_VECTOR_EXIT,
	EV_KINDS
};

/* What ftrace's flags column shows, besides the preempt count. */
#define EVF_IRQS_OFF		0x01
#define EVF_NEED_RESCHED	0x02	/* the task's flag */
#define EVF_PREEMPT_RESCHED	0x04	/* the CPU's preempt-count bit */
#define EVF_SOFTIRQ		0x08	/* serving a softirq */
#define EVF_BH_OFF		0x10	/* bottom halves disabled */
/*
 * The stack an event ran on, lowest first: a handler on a higher stack
 * interrupted the code on the lower ones.
 */
enum ev_stack {
	EV_STACK_TASK,		/* the task's own stack */
	EV_STACK_IRQ,		/* the CPU's interrupt stack */
	EV_STACK_EXCEPTION,	/* an NMI or exception stack */
};

/* The stack the event ran on (enum ev_stack), in the flags' top bits. */
#define EVF_STACK_SHIFT		5
#define EVF_STACK(flags)	((flags) >> EVF_STACK_SHIFT)

struct event {
	s64 offset_ns;		/* since the window opened; another CPU's clock may lag */
	u32 ctx;		/* preempt_count(), less the hook's own level */
	u8 flags;		/* EVF_* */
	u8 migrate;		/* migrate-disable depth, at most 15 */
	u8 kind;
	u8 flag;		/* syscall: compat (a switch keeps preemption in sw.state) */
	pid_t pid;
	char comm[TASK_COMM_LEN];
	pid_t tgid;
	/*
	 * sp: the stack pointer where the event ran; for a function entry the
	 * traced function's own, as it was entered.
	 */
	union {
		struct {
			unsigned long ip, parent_ip, sp;
		} fn;
		struct {
			pid_t next_pid;
			int prev_prio, next_prio;
			unsigned int state;	/* as the sched_switch event has it */
			char next_comm[TASK_COMM_LEN];
			unsigned long sp;
		} sw;
		struct {
			long nr;
			unsigned long args[6];	/* at exit: args[0] the result */
		} sys;
		struct {
			pid_t pid;
			int prio;
			int cpu;
			char comm[TASK_COMM_LEN];
			unsigned long sp;
		} wake;
		struct {
			int nr;		/* irq, softirq or vector number */
			int ret;	/* a handler's result; a vector's enum vt_vector */
			unsigned long sp;
			char name[32];		/* the handler's name */
		} irq;
		struct {
			u64 delay_ns;
			int prio;
		} run;
	};
};

/* The report's sets of events: every line is one of these 96 bytes. */
static_assert(sizeof(struct event) == 96, "an event is 96 bytes");

#endif
