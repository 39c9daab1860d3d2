// SPDX-License-Identifier: GPL-2.0
/*
 * vormek_standin: gives a stock kernel the latency tracer's user interface,
 * so that vormek can be run against a real kernel.
 *
 * - Ten integer knobs under /proc/sys/kernel; every write is logged.
 * - Window markers seen at gettimeofday's system-call entry: (NULL, 1) opens
 *   the window when trace_enabled, trace_user_triggered and mcount_enabled
 *   are 1; (NULL, NULL) closes an open window. Only the raw argument values
 *   are compared; they are never dereferenced.
 * - While the window is open, every context switch and every system-call
 *   entry is recorded in a fixed-size buffer that counts what did not fit.
 * - /proc/latency_trace: a plain-text report of the last window.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/compat.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/proc_fs.h>
#include <linux/sched.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/sysctl.h>
#include <linux/timekeeping.h>
#include <linux/tracepoint.h>
#include <linux/vmalloc.h>
#include <asm/syscall.h>
#include <asm/unistd.h>

static bool wakeup_timing;
module_param(wakeup_timing, bool, 0444);
MODULE_PARM_DESC(wakeup_timing, "Offer the wakeup_timing knob (default: no)");

static char *omit = "";
module_param(omit, charp, 0444);
MODULE_PARM_DESC(omit, "Comma-separated knobs to leave out");

static bool mcount_unreadable;
module_param(mcount_unreadable, bool, 0444);
MODULE_PARM_DESC(mcount_unreadable, "Make mcount_enabled write-only, even for root");

static bool report_unreadable;
module_param(report_unreadable, bool, 0444);
MODULE_PARM_DESC(report_unreadable, "Refuse to open /proc/latency_trace");

enum knob_index {
	K_TRACE_ALL_CPUS,
	K_TRACE_ENABLED,
	K_TRACE_FREERUNNING,
	K_TRACE_PRINT_AT_CRASH,
	K_TRACE_USER_TRIGGERED,
	K_TRACE_VERBOSE,
	K_PREEMPT_MAX_LATENCY,
	K_PREEMPT_THRESH,
	K_WAKEUP_TIMING,
	K_MCOUNT_ENABLED,
	KNOB_COUNT
};

static const char *const knob_names[KNOB_COUNT] = {
	"trace_all_cpus",	"trace_enabled",	"trace_freerunning",
	"trace_print_at_crash", "trace_user_triggered", "trace_verbose",
	"preempt_max_latency",	"preempt_thresh",	"wakeup_timing",
	"mcount_enabled",
};

static int knob_values[KNOB_COUNT];

#define WRITE_LOG_SIZE 256
#define EVENT_BUFFER_SIZE 8192
#define COMM_LEN TASK_COMM_LEN

struct knob_write {
	int knob;
	int value;
	pid_t pid;
	char comm[COMM_LEN];
	u64 time_ns;
};

enum event_kind { EV_SWITCH, EV_SYSCALL };

struct trace_event {
	u64 offset_ns; /* from the window's start */
	u8 kind;
	unsigned int cpu;
	pid_t pid; /* switch: the task leaving; syscall: the caller */
	pid_t next_pid;
	long nr_or_state;
	char comm[COMM_LEN];
	char next_comm[COMM_LEN];
};

enum window_state { WINDOW_NONE, WINDOW_OPEN, WINDOW_CLOSED };

struct tracer_state {
	int window;
	u64 start_ns, end_ns;
	pid_t opener_pid, closer_pid;
	char opener_comm[COMM_LEN], closer_comm[COMM_LEN];
	int knobs_at_open[KNOB_COUNT];
	unsigned int writes, writes_lost;
	struct knob_write write_log[WRITE_LOG_SIZE];
	unsigned int events, events_lost;
	struct trace_event event[EVENT_BUFFER_SIZE];
};

/* Taken from the scheduler's switch path, hence raw and with interrupts off. */
static DEFINE_RAW_SPINLOCK(state_lock);
static struct tracer_state *state;

static bool knob_offered(int knob)
{
	const char *p = omit;
	size_t len = strlen(knob_names[knob]);

	if (knob == K_WAKEUP_TIMING && !wakeup_timing)
		return false;
	while (p && *p) {
		size_t n = strcspn(p, ",");

		if (n == len && !strncmp(p, knob_names[knob], len))
			return false;
		p += n;
		if (*p == ',')
			p++;
	}
	return true;
}

static int knob_handler(struct ctl_table *table, int write, void *buffer,
			size_t *lenp, loff_t *ppos)
{
	int knob = (int *)table->data - knob_values;
	int ret = proc_dointvec(table, write, buffer, lenp, ppos);
	struct knob_write entry = { .knob = knob };
	unsigned long flags;

	if (!write || ret)
		return ret;
	entry.value = READ_ONCE(knob_values[knob]);
	entry.pid = task_tgid_nr(current);
	get_task_comm(entry.comm, current);
	raw_spin_lock_irqsave(&state_lock, flags);
	if (state->writes < WRITE_LOG_SIZE) {
		entry.time_ns = ktime_get_ns();
		state->write_log[state->writes++] = entry;
	} else {
		state->writes_lost++;
	}
	raw_spin_unlock_irqrestore(&state_lock, flags);
	return ret;
}

/* Appends an event, stamped with the time since the window opened and the CPU. */
static void record_event(struct trace_event *ev)
{
	ev->offset_ns = ktime_get_ns() - state->start_ns;
	ev->cpu = raw_smp_processor_id();
	if (state->events < EVENT_BUFFER_SIZE)
		state->event[state->events++] = *ev;
	else
		state->events_lost++;
}

static void open_window(const char *comm)
{
	int i;

	state->window = WINDOW_OPEN;
	state->start_ns = ktime_get_ns();
	state->opener_pid = task_tgid_nr(current);
	memcpy(state->opener_comm, comm, COMM_LEN);
	for (i = 0; i < KNOB_COUNT; i++)
		state->knobs_at_open[i] = READ_ONCE(knob_values[i]);
	state->events = 0;
	state->events_lost = 0;
}

static void close_window(const char *comm)
{
	state->window = WINDOW_CLOSED;
	state->end_ns = ktime_get_ns();
	state->closer_pid = task_tgid_nr(current);
	memcpy(state->closer_comm, comm, COMM_LEN);
}

static void probe_sys_enter(void *data, struct pt_regs *regs, long id)
{
	unsigned long args[6];
	unsigned long flags;
	char comm[COMM_LEN];

	if (in_compat_syscall())
		return;
	/* Taken before the raw lock: get_task_comm takes the task's lock. */
	get_task_comm(comm, current);
	raw_spin_lock_irqsave(&state_lock, flags);
	if (state->window == WINDOW_OPEN) {
		struct trace_event ev = {
			.kind = EV_SYSCALL,
			.pid = task_pid_nr(current),
			.nr_or_state = id,
		};
		memcpy(ev.comm, comm, COMM_LEN);
		record_event(&ev);
	}
	if (id == __NR_gettimeofday) {
		/* The raw argument values, as the caller passed them. */
		syscall_get_arguments(current, regs, args);
		if (args[0] == 0 && args[1] == 1 &&
		    READ_ONCE(knob_values[K_TRACE_ENABLED]) == 1 &&
		    READ_ONCE(knob_values[K_TRACE_USER_TRIGGERED]) == 1 &&
		    READ_ONCE(knob_values[K_MCOUNT_ENABLED]) == 1)
			open_window(comm);
		else if (args[0] == 0 && args[1] == 0 &&
			 state->window == WINDOW_OPEN)
			close_window(comm);
	}
	raw_spin_unlock_irqrestore(&state_lock, flags);
}

static void probe_sched_switch(void *data, bool preempt,
			       struct task_struct *prev,
			       struct task_struct *next,
			       unsigned int prev_state)
{
	unsigned long flags;

	raw_spin_lock_irqsave(&state_lock, flags);
	if (state->window == WINDOW_OPEN) {
		struct trace_event ev = {
			.kind = EV_SWITCH,
			.pid = prev->pid,
			.next_pid = next->pid,
			.nr_or_state = prev_state,
		};
		memcpy(ev.comm, prev->comm, COMM_LEN);
		memcpy(ev.next_comm, next->comm, COMM_LEN);
		ev.comm[COMM_LEN - 1] = '\0';
		ev.next_comm[COMM_LEN - 1] = '\0';
		record_event(&ev);
	}
	raw_spin_unlock_irqrestore(&state_lock, flags);
}

static void print_us(struct seq_file *m, u64 ns)
{
	seq_printf(m, "%llu.%03llu", ns / 1000, ns % 1000);
}

static int report_show(struct seq_file *m, void *v)
{
	/* Formatted from a copy, so the lock is held only for the copy. */
	struct tracer_state *s = vmalloc(sizeof(*s));
	unsigned long flags;
	unsigned int i;

	if (!s)
		return -ENOMEM;
	raw_spin_lock_irqsave(&state_lock, flags);
	memcpy(s, state, sizeof(*s));
	raw_spin_unlock_irqrestore(&state_lock, flags);

	seq_puts(m, "# latency trace (vormek stand-in tracer)\n");
	if (s->window == WINDOW_NONE) {
		seq_puts(m, "window: none (no window was opened)\n");
	} else {
		seq_printf(m, "window: %s\n",
			   s->window == WINDOW_OPEN ? "open" : "closed");
		seq_puts(m, "start_us: ");
		print_us(m, s->start_ns);
		seq_printf(m, "\nopened_by: pid %d comm %s\n", s->opener_pid,
			   s->opener_comm);
		if (s->window == WINDOW_CLOSED) {
			seq_puts(m, "end_us: ");
			print_us(m, s->end_ns);
			seq_puts(m, "\nlength_us: ");
			print_us(m, s->end_ns - s->start_ns);
			seq_printf(m, "\nclosed_by: pid %d comm %s\n",
				   s->closer_pid, s->closer_comm);
		}
		seq_puts(m, "settings_at_open:");
		for (i = 0; i < KNOB_COUNT; i++)
			if (knob_offered(i))
				seq_printf(m, " %s=%d", knob_names[i],
					   s->knobs_at_open[i]);
		seq_puts(m, "\n");
	}
	seq_printf(m, "writes: %u logged, %u lost\n", s->writes,
		   s->writes_lost);
	for (i = 0; i < s->writes; i++) {
		const struct knob_write *w = &s->write_log[i];

		seq_printf(m, "write %u: %s=%d pid %d comm %s at_us ", i + 1,
			   knob_names[w->knob], w->value, w->pid, w->comm);
		print_us(m, w->time_ns);
		seq_puts(m, "\n");
	}
	if (s->window != WINDOW_NONE) {
		seq_printf(m, "events: %u recorded, %u lost\n", s->events,
			   s->events_lost);
		for (i = 0; i < s->events; i++) {
			const struct trace_event *e = &s->event[i];

			seq_puts(m, "+");
			print_us(m, e->offset_ns);
			if (e->kind == EV_SWITCH)
				seq_printf(m, " cpu%u switch %s/%d state %ld => %s/%d\n",
					   e->cpu, e->comm, e->pid,
					   e->nr_or_state, e->next_comm,
					   e->next_pid);
			else
				seq_printf(m, " cpu%u syscall %s/%d nr %ld\n",
					   e->cpu, e->comm, e->pid,
					   e->nr_or_state);
		}
	}
	vfree(s);
	return 0;
}

static int report_open(struct inode *inode, struct file *file)
{
	if (report_unreadable)
		return -EACCES;
	/* Room for a full event buffer in one go. */
	return single_open_size(file, report_show, NULL,
				(EVENT_BUFFER_SIZE + WRITE_LOG_SIZE + 16) * 96);
}

static const struct proc_ops report_ops = {
	.proc_open = report_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
};

static struct ctl_table knob_table[KNOB_COUNT + 1];
static struct ctl_table_header *knob_header;
static struct proc_dir_entry *report_entry;

struct tracepoint_hook {
	const char *name;
	void *probe;
	struct tracepoint *tp;
};

static struct tracepoint_hook hooks[] = {
	{ "sys_enter", probe_sys_enter, NULL },
	{ "sched_switch", probe_sched_switch, NULL },
};

static void find_tracepoint(struct tracepoint *tp, void *priv)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(hooks); i++)
		if (!strcmp(tp->name, hooks[i].name))
			hooks[i].tp = tp;
}

static void unhook(size_t count)
{
	while (count--)
		tracepoint_probe_unregister(hooks[count].tp, hooks[count].probe,
					    NULL);
	tracepoint_synchronize_unregister();
}

static int __init standin_init(void)
{
	size_t i, n = 0;
	int ret;

	state = vzalloc(sizeof(*state));
	if (!state)
		return -ENOMEM;

	for (i = 0; i < KNOB_COUNT; i++) {
		if (!knob_offered(i))
			continue;
		knob_table[n].procname = knob_names[i];
		knob_table[n].data = &knob_values[i];
		knob_table[n].maxlen = sizeof(int);
		knob_table[n].mode =
			(i == K_MCOUNT_ENABLED && mcount_unreadable) ? 0200 : 0644;
		knob_table[n].proc_handler = knob_handler;
		n++;
	}
	knob_header = register_sysctl("kernel", knob_table);
	if (!knob_header) {
		ret = -ENOMEM;
		goto free_state;
	}
	report_entry = proc_create("latency_trace", 0444, NULL, &report_ops);
	if (!report_entry) {
		ret = -ENOMEM;
		goto drop_knobs;
	}

	for_each_kernel_tracepoint(find_tracepoint, NULL);
	for (i = 0; i < ARRAY_SIZE(hooks); i++) {
		ret = hooks[i].tp ? tracepoint_probe_register(hooks[i].tp,
							      hooks[i].probe, NULL)
				  : -ENOENT;
		if (ret) {
			pr_err("cannot hook tracepoint %s: %d\n", hooks[i].name,
			       ret);
			unhook(i);
			goto drop_report;
		}
	}
	pr_info("loaded: %zu knobs, wakeup_timing %s\n", n,
		knob_offered(K_WAKEUP_TIMING) ? "offered" : "absent");
	return 0;

drop_report:
	proc_remove(report_entry);
drop_knobs:
	unregister_sysctl_table(knob_header);
free_state:
	vfree(state);
	return ret;
}

static void __exit standin_exit(void)
{
	unhook(ARRAY_SIZE(hooks));
	proc_remove(report_entry);
	unregister_sysctl_table(knob_header);
	vfree(state);
	pr_info("unloaded\n");
}

module_init(standin_init);
module_exit(standin_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Stand-in latency tracer interface for testing vormek");
