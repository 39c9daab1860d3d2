// SPDX-License-Identifier: GPL-2.0
/*
 * The names the report gives, each list once: system calls by number
 * (generated from the kernel's own table), softirq vectors as
 * softirq_entry prints them, x86's interrupt vectors, and event kinds.
 */
#include <linux/kernel.h>

#include "compat.h"
#include "names.h"

static const char *const syscall_names[] = {
#include "syscall_names.h"
};

/* softirq_entry's names of the softirq vectors. */
static const char *const softirq_names[] = {
	"HI", "TIMER", "NET_TX", "NET_RX", "BLOCK", "IRQ_POLL", "TASKLET",
	"SCHED", "HRTIMER", "RCU"
};

/* x86's vector events by enum vt_vector. */
#define VT_VECTOR_NAME(v) #v,
static const char *const vector_names[] = {
	VT_VECTOR_EVENTS(VT_VECTOR_NAME)
};

const char *names_syscall(const struct event *e)
{
	long nr = e->sys.nr;

	return e->flag ? "compat" :
	       nr >= 0 && nr < ARRAY_SIZE(syscall_names) &&
	       syscall_names[nr] ? syscall_names[nr] : "unknown";
}

const char *names_softirq(int nr)
{
	return nr >= 0 && nr < ARRAY_SIZE(softirq_names) ?
	       softirq_names[nr] : NULL;
}

const char *names_vector(int vector)
{
	return vector >= 0 && vector < VT_VECTORS ? vector_names[vector] : NULL;
}

void names_handler(const struct event *e, char *name, size_t n)
{
	const char *s;

	switch (e->kind) {
	case EV_IRQ_ENTRY:
		scnprintf(name, n, "%.*s", (int)sizeof(e->irq.name) - 1,
			  e->irq.name);
		break;
	case EV_SOFTIRQ_ENTRY:
		s = names_softirq(e->irq.nr);
		scnprintf(name, n, "%s", s ? s : "softirq");
		break;
	default:
		s = names_vector(e->irq.ret);
		scnprintf(name, n, "%s", s ? s : "vector");
	}
}

const char *names_kind(unsigned int kind)
{
	static const char *const names[EV_KINDS] = {
		"function", "sched_switch", "sys_enter", "sched_waking",
		"wakeup_latency", "sys_exit", "irq_handler_entry",
		"irq_handler_exit", "softirq_entry", "softirq_exit",
		"vector entry", "vector exit"
	};

	return kind < EV_KINDS ? names[kind] : "unknown";
}
