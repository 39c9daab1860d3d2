// SPDX-License-Identifier: GPL-2.0
/*
 * Recording: two sets of per-CPU event buffers and the probes that fill
 * them (function entries through an ftrace_ops; context switches, system
 * calls and wakeups through tracepoints), which arm.c registers. The probes
 * run with preemption off, also on PREEMPT_RT: they take no lock, allocate
 * nothing and wake nobody. Each CPU writes only its own buffer; a slot is
 * claimed with a local_t, which is safe against the interrupts and NMIs that
 * may nest on the same CPU. What to record is set by window.c, through
 * record_start() and record_stop(), under its window lock.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/compat.h>
#include <linux/ftrace.h>
#include <linux/interrupt.h>
#include <linux/log2.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/percpu.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/trace_clock.h>
#include <linux/trace_recursion.h>
#include <linux/vmalloc.h>
#include <asm/local.h>
#include <asm/syscall.h>

#include "compat.h"
#include "record.h"

static unsigned int buffer_size = 16384;
module_param(buffer_size, uint, 0444);
MODULE_PARM_DESC(buffer_size, "Events kept per CPU and window, rounded up to a power of two (default 16384)");

#define BUFFER_MIN 16U
#define BUFFER_MAX (1U << 24)

/*
 * Read on every hook without a lock: recording and what to record. Written
 * only by record_start() and record_stop(), under window.c's lock.
 */
static struct {
	int recording;
	struct record_setup setup;
} rec = { .setup.cpu = -1 };

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

unsigned int record_buffer_size(void)
{
	return buffer_size;
}

void record_range(int set, int cpu, bool overwrite, u64 *first, u64 *count,
		  u64 *lost)
{
	u64 head = local_read(&per_cpu_ptr(&heads, cpu)->head[set]);

	*count = min_t(u64, head, buffer_size);
	*lost = head - *count;
	/* Overwriting keeps the newest events, stopping the oldest. */
	*first = overwrite ? head - *count : 0;
}

struct event *record_event(int set, int cpu, u64 index)
{
	return &sets[set][(size_t)cpu * buffer_size +
			  (index & (buffer_size - 1))];
}

void record_reset(int set)
{
	int cpu;

	for_each_possible_cpu(cpu)
		local_set(&per_cpu_ptr(&heads, cpu)->head[set], 0);
	memset(wake_stamp, 0, sizeof(wake_stamp));
}

void record_start(const struct record_setup *setup)
{
	WRITE_ONCE(rec.recording, 0);
	rec.setup = *setup;
	/* The hooks see the setup before they see recording. */
	smp_wmb();
	WRITE_ONCE(rec.recording, 1);
}

void record_stop(void)
{
	WRITE_ONCE(rec.recording, 0);
}

/* Whether this CPU records now. */
static __always_inline bool want(void)
{
	int cpu = READ_ONCE(rec.setup.cpu);

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
						 struct task_struct *task,
						 unsigned long sp)
{
	int set = READ_ONCE(rec.setup.set);
	unsigned long irq_flags;
	struct event *e;
	long index;
	u64 now;

	/*
	 * The slot and the time are taken with interrupts off: an interrupt
	 * between them would put its own, earlier stamped, events after this
	 * one in the CPU's buffer, out of time order.
	 */
	local_irq_save(irq_flags);
	index = local_inc_return(&this_cpu_ptr(&heads)->head[set]) - 1;
	now = trace_clock_local();
	local_irq_restore(irq_flags);
	if (index >= buffer_size && !READ_ONCE(rec.setup.overwrite))
		return NULL;
	e = record_event(set, raw_smp_processor_id(), index);
	e->offset_ns = (s64)(now - READ_ONCE(rec.setup.start_ns));
	e->ctx = preempt_count() - (IS_ENABLED(CONFIG_PREEMPTION) ? 1 : 0);
	e->flags = (irqs_disabled_flags(irq_flags) ? EVF_IRQS_OFF : 0) |
		   (tif_need_resched() ? EVF_NEED_RESCHED : 0) |
		   (test_preempt_need_resched() ? EVF_PREEMPT_RESCHED : 0) |
		   (in_serving_softirq() ? EVF_SOFTIRQ : 0) |
		   (softirq_count() >> (SOFTIRQ_SHIFT + 1) ? EVF_BH_OFF : 0) |
		   vt_stack_of(sp) << EVF_STACK_SHIFT;
	e->migrate = min(vt_migration_disabled(current), 15U);
	e->pid = task->pid;
	e->tgid = task->tgid;
	copy_comm(e->comm, task);
	e->kind = kind;
	e->flag = 0;
	return e;
}

void notrace record_function(unsigned long ip, unsigned long parent_ip,
			     struct ftrace_ops *op, struct ftrace_regs *fregs)
{
	struct event *e;
	int bit;

	/* The cost of an armed tracer with no window open ends here. */
	if (!READ_ONCE(rec.recording) || !READ_ONCE(rec.setup.functions))
		return;
	/* Also disables preemption until the unlock. */
	bit = ftrace_test_recursion_trylock(ip, parent_ip);
	if (bit < 0)
		return;
	if (want()) {
		e = begin_event(EV_FUNCTION, current, vt_entry_sp(fregs));
		if (e) {
			e->fn.ip = ip;
			e->fn.parent_ip = parent_ip;
			e->fn.sp = vt_entry_sp(fregs);
		}
	}
	ftrace_test_recursion_unlock(bit);
}

void notrace record_sys_enter(void *data, struct pt_regs *regs, long id)
{
	struct event *e;

	if (!want())
		return;
	e = begin_event(EV_SYSCALL, current, vt_here_sp());
	if (e) {
		e->sys.nr = id;
		syscall_get_arguments(current, regs, e->sys.args);
		e->flag = in_compat_syscall();
	}
}

void notrace record_sys_exit(void *data, struct pt_regs *regs, long ret)
{
	struct event *e;

	if (!want())
		return;
	e = begin_event(EV_SYS_EXIT, current, vt_here_sp());
	if (e) {
		e->sys.nr = syscall_get_nr(current, regs);
		e->sys.args[0] = ret;
		e->flag = in_compat_syscall();
	}
}

/*
 * An interrupt-side event: a handler's entry or exit. Names are copied by
 * hand, as library calls here would be traced themselves.
 */
static __always_inline void irq_event(u8 kind, int nr, int ret,
				      const char *name)
{
	unsigned long sp = vt_here_sp();
	struct event *e;
	size_t i = 0;

	if (!want())
		return;
	e = begin_event(kind, current, sp);
	if (!e)
		return;
	e->irq.nr = nr;
	e->irq.ret = ret;
	e->irq.sp = sp;
	for (; name && name[i] && i < sizeof(e->irq.name) - 1; i++)
		e->irq.name[i] = name[i];
	e->irq.name[i] = '\0';
}

void notrace record_irq_entry(void *data, int irq, struct irqaction *action)
{
	irq_event(EV_IRQ_ENTRY, irq, 0, action->name);
}

void notrace record_irq_exit(void *data, int irq, struct irqaction *action,
			     int ret)
{
	irq_event(EV_IRQ_EXIT, irq, ret, NULL);
}

void notrace record_softirq_entry(void *data, unsigned int vec)
{
	irq_event(EV_SOFTIRQ_ENTRY, vec, 0, NULL);
}

void notrace record_softirq_exit(void *data, unsigned int vec)
{
	irq_event(EV_SOFTIRQ_EXIT, vec, 0, NULL);
}

/* data: which vector event (enum vt_vector), as arm.c registers it. */
void notrace record_vector_entry(void *data, int vector)
{
	irq_event(EV_VECTOR_ENTRY, vector, (long)data, NULL);
}

void notrace record_vector_exit(void *data, int vector)
{
	irq_event(EV_VECTOR_EXIT, vector, (long)data, NULL);
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
	e = begin_event(EV_WAKEUP_RUN, task, vt_here_sp());
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

void notrace record_sched_switch(void *data, bool preempt,
				 struct task_struct *prev,
				 struct task_struct *next, unsigned int prev_state)
{
	struct event *e;

	if (!want())
		return;
	e = begin_event(EV_SWITCH, prev, vt_here_sp());
	if (e) {
		e->sw.sp = vt_here_sp();
		e->sw.next_pid = next->pid;
		e->sw.prev_prio = prev->prio;
		e->sw.next_prio = next->prio;
		e->sw.state = switch_state(preempt, prev_state, prev);
		copy_comm(e->sw.next_comm, next);
	}
	if (READ_ONCE(rec.setup.wakeups))
		wakeup_ran(next);
}

/* A wakeup begins, in the waker's context, as the sched_waking event. */
void notrace record_sched_waking(void *data, struct task_struct *task)
{
	struct event *e;
	s64 offset;

	if (!want() || !READ_ONCE(rec.setup.wakeups))
		return;
	e = begin_event(EV_WAKEUP, current, vt_here_sp());
	if (e) {
		e->wake.sp = vt_here_sp();
		e->wake.pid = task->pid;
		e->wake.prio = task->prio;
		e->wake.cpu = task_cpu(task);
		copy_comm(e->wake.comm, task);
		offset = e->offset_ns;
	} else {
		offset = (s64)(trace_clock_local() - READ_ONCE(rec.setup.start_ns));
	}
	WRITE_ONCE(wake_stamp[task->pid % WAKE_SLOTS],
		   ((u64)task->pid + 1) << WAKE_TIME_BITS |
		   ((u64)max_t(s64, offset, 0) & WAKE_TIME_MASK));
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
	int s;

	if (buffer_size < BUFFER_MIN || buffer_size > BUFFER_MAX) {
		pr_err("buffer_size=%u is out of range (%u to %u events per CPU)\n",
		       buffer_size, BUFFER_MIN, BUFFER_MAX);
		return -EINVAL;
	}
	buffer_size = roundup_pow_of_two(buffer_size);
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
}

void record_exit(void)
{
	int s;

	for (s = 0; s < SETS; s++)
		vfree(sets[s]);
}
