/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Differences between the kernel versions the tracer builds on, each a named
 * feature chosen by version range here and nowhere else. Known to build on
 * 6.1 and 6.12, generic and PREEMPT_RT.
 */
#ifndef VORMEK_TRACER_COMPAT_H
#define VORMEK_TRACER_COMPAT_H

#include <linux/sched.h>
#include <linux/sysctl.h>
#include <linux/version.h>

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

#endif
