/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Differences between the kernel versions and architectures the tracer
 * builds on, each a named feature chosen by version range or architecture
 * here and nowhere else. Known to build on 6.1 and 6.12, generic and
 * PREEMPT_RT, for x86_64 and arm64.
 */
#ifndef VORMEK_TRACER_COMPAT_H
#define VORMEK_TRACER_COMPAT_H

#include <linux/ftrace.h>
#include <linux/preempt.h>
#include <linux/sched.h>
#include <linux/sched/task_stack.h>
#include <linux/sysctl.h>
#include <linux/version.h>

#include "event.h"

/*
 * The window markers' system call, gettimeofday, by its entry function: the
 * one ftrace can filter on, and the name the report gives as the window's
 * start and end.
 */
#if defined(CONFIG_X86_64)
#define VT_MARKER_FUNCTION "__x64_sys_gettimeofday"
#elif defined(CONFIG_ARM64)
#define VT_MARKER_FUNCTION "__arm64_sys_gettimeofday"
#else
#error "vormek_tracer builds for x86_64 and arm64 only"
#endif

/* 6.11: sysctl handlers take a const table. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
#define VT_CTL_TABLE const struct ctl_table
#else
#define VT_CTL_TABLE struct ctl_table
#endif

/*
 * 6.6: register_sysctl_sz() takes the table's length. Before it, the table
 * ends at an all-zero sentinel; from 6.11 on there is no sentinel. The
 * caller's table always has one spare zeroed entry, so both forms work.
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
#define vt_register_sysctl(path, table, n) register_sysctl_sz(path, table, n)
#else
#define vt_register_sysctl(path, table, n) register_sysctl(path, table)
#endif

/*
 * The migrate-disable depth that ftrace's flags column shows: tasks keep it
 * on SMP kernels only.
 */
static __always_inline unsigned int vt_migration_disabled(struct task_struct *t)
{
#ifdef CONFIG_SMP
	return t->migration_disabled;
#else
	return 0;
#endif
}

/*
 * The traced function's stack pointer as it was entered, which ftrace's
 * trampoline saves (x86's ftrace_caller, and arm64's, which runs before the
 * function's prologue). 6.1 keeps it in the regs on both; by 6.12 both have
 * an accessor (a macro on x86, an inline function on arm64), so the choice
 * goes by version.
 */
static __always_inline unsigned long vt_entry_sp(struct ftrace_regs *fregs)
{
	if (!fregs)
		return 0;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
	return ftrace_regs_get_stack_pointer(fregs);
#else
	return fregs->regs.sp;
#endif
}

/* Where the calling code runs now: a tracepoint probe's own frame. */
static __always_inline unsigned long vt_here_sp(void)
{
	return current_stack_pointer;
}

/*
 * The stack sp is on: the task's own, in an NMI (or an exception taken as
 * one, or arm64's pseudo-NMI) the exception stack, and otherwise the CPU's
 * interrupt stack. Neither architecture exports its interrupt stacks'
 * bounds to modules on every kernel, so that one is told by exclusion.
 */
static __always_inline unsigned char vt_stack_of(unsigned long sp)
{
	if (in_nmi())
		return EV_STACK_EXCEPTION;
	if (sp - (unsigned long)task_stack_page(current) < THREAD_SIZE)
		return EV_STACK_TASK;
	return EV_STACK_IRQ;
}

/*
 * x86's interrupt vectors served without irq_handler_entry, each with an
 * _entry and an _exit tracepoint taking the vector number. arm64 has none:
 * its timer and IPIs are per-CPU interrupts that irq_handler_entry sees.
 */
#ifdef CONFIG_X86_LOCAL_APIC
#include <asm/trace/irq_vectors.h>
#define VT_VECTOR_EVENTS(X) \
	X(local_timer) X(reschedule) X(call_function) \
	X(call_function_single) X(irq_work)
#else
#define VT_VECTOR_EVENTS(X)
#endif
#define VT_VECTOR_ENUM(v) VT_VECTOR_##v,
enum vt_vector { VT_VECTOR_EVENTS(VT_VECTOR_ENUM) VT_VECTORS };

#endif
