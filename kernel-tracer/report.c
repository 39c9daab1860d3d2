// SPDX-License-Identifier: GPL-2.0
/*
 * The report: /proc/latency_trace, and the same text in the kernel log at a
 * panic or oops while trace_print_at_crash is 1, in the text format of
 * ftrace's trace file, so that tools reading that read it too. A header:
 * the tracer's name, ftrace's latency block, "# key: value" lines (the
 * window, the settings in force, what was recorded and lost, the knob
 * writes) and the column legend; then the kept window's events from every
 * CPU merged by time, one line each, as ftrace prints them: task-pid, CPU,
 * flags, seconds since boot on ftrace's "local" clock, and the event.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/kdebug.h>
#include <linux/math64.h>
#include <linux/notifier.h>
#include <linux/panic_notifier.h>
#include <linux/proc_fs.h>
#include <linux/sched.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/utsname.h>

#include "tracer.h"

/* System-call names by number, generated from the kernel's unistd table. */
static const char *const syscall_names[] = {
#include "syscall_names.h"
};

struct report {
	struct window_info w;	/* copies, taken when the report opens */
	int set;		/* the shown set, or -1 */
	bool open_now;
	bool stale;
	unsigned long dropped_not_longer, dropped_short, missed;
	struct hook_state hooks;
	u64 kinds[EV_KINDS], kept, lost;
	struct write_log log;
	/* The merge: events passed so far, and each CPU's next and end. */
	loff_t index;
	int cpu;
	char line[384];
	u64 cursor[];		/* next[nr_cpu_ids], then end[nr_cpu_ids] */
};

static size_t report_size(void)
{
	return sizeof(struct report) + 2 * nr_cpu_ids * sizeof(u64);
}

/* Emits one line: to the report file, or with m NULL to the kernel log. */
static __printf(2, 3) void out(struct seq_file *m, const char *fmt, ...)
{
	static char crash_line[512];
	va_list args;

	va_start(args, fmt);
	if (m) {
		seq_vprintf(m, fmt, args);
		seq_putc(m, '\n');
	} else {
		vsnprintf(crash_line, sizeof(crash_line), fmt, args);
		pr_emerg("%s\n", crash_line);
	}
	va_end(args);
}

static void rewind_report(struct report *r)
{
	u64 first, count, lost;
	int cpu;

	r->index = 0;
	for_each_possible_cpu(cpu) {
		if (r->set < 0) {
			r->cursor[cpu] = r->cursor[nr_cpu_ids + cpu] = 0;
			continue;
		}
		set_cpu_range(r->set, cpu, r->w.knobs[K_TRACE_FREERUNNING] == 1,
			      &first, &count, &lost);
		r->cursor[cpu] = first;
		r->cursor[nr_cpu_ids + cpu] = first + count;
	}
}

/* The earliest event not yet passed, and its CPU in r->cpu. */
static struct event *peek(struct report *r)
{
	struct event *best = NULL, *e;
	int cpu;

	for_each_possible_cpu(cpu) {
		if (r->cursor[cpu] == r->cursor[nr_cpu_ids + cpu])
			continue;
		e = set_event(r->set, cpu, r->cursor[cpu]);
		if (!best || e->offset_ns < best->offset_ns) {
			best = e;
			r->cpu = cpu;
		}
	}
	return best;
}

static void advance(struct report *r)
{
	if (peek(r)) {
		r->cursor[r->cpu]++;
		r->index++;
	}
}

/* Copies what the report shows; at a crash without waiting for locks. */
static void snapshot(struct report *r, bool crashing)
{
	unsigned long flags;
	struct event *e;
	bool locked;
	int cpu;

	local_irq_save(flags);
	locked = crashing ? arch_spin_trylock(&window_lock) :
			    (arch_spin_lock(&window_lock), true);
	r->set = shown_set;
	if (r->set >= 0)
		r->w = window[r->set];
	r->open_now = open_set >= 0;
	r->dropped_not_longer = dropped_not_longer;
	r->dropped_short = dropped_short;
	r->missed = missed_starts;
	if (locked)
		arch_spin_unlock(&window_lock);
	locked = crashing ? raw_spin_trylock(&write_log_lock) :
			    (raw_spin_lock(&write_log_lock), true);
	r->log = write_log;
	if (locked)
		raw_spin_unlock(&write_log_lock);
	local_irq_restore(flags);
	r->hooks = hooked;
	r->stale = false;

	memset(r->kinds, 0, sizeof(r->kinds));
	r->kept = 0;
	r->lost = 0;
	if (r->set >= 0) {
		for_each_possible_cpu(cpu) {
			u64 first, count, lost, i;

			set_cpu_range(r->set, cpu,
				      r->w.knobs[K_TRACE_FREERUNNING] == 1,
				      &first, &count, &lost);
			r->kept += count;
			r->lost += lost;
			for (i = first; i < first + count; i++) {
				e = set_event(r->set, cpu, i);
				if (e->kind < EV_KINDS)
					r->kinds[e->kind]++;
			}
		}
	}
	rewind_report(r);
}

static void print_us(char *buf, size_t n, s64 ns)
{
	u64 abs = ns < 0 ? -ns : ns;

	snprintf(buf, n, "%s%llu.%03llu", ns < 0 ? "-" : "",
		 abs / NSEC_PER_USEC, abs % NSEC_PER_USEC);
}

/* The preemption model, named as ftrace's latency header names it. */
static const char *preempt_model(void)
{
	return preempt_model_none() ? "server" :
	       preempt_model_voluntary() ? "desktop" :
	       preempt_model_full() ? "preempt" :
	       preempt_model_rt() ? "preempt_rt" : "unknown";
}

/* ftrace's latency block: the window's length, entries, CPU and task. */
static void print_latency_block(struct seq_file *m, struct report *r)
{
	const struct window_info *w = &r->w;

	out(m, "# vormek_tracer latency trace v1.1.5 on %s",
	    init_utsname()->release);
	out(m, "# --------------------------------------------------------------------");
	out(m, "# latency: %llu us, #%llu/%llu, CPU#%d | (M:%s VP:0, KP:0, SP:0 HP:0 #P:%u)",
	    div_u64(w->end_ns - w->start_ns, NSEC_PER_USEC), r->kept,
	    r->kept + r->lost, w->cpu, preempt_model(), num_online_cpus());
	out(m, "#    -----------------");
	out(m, "#    | task: %.16s-%d (uid:%u nice:%d policy:%d rt_prio:%d)",
	    w->opener_comm, w->opener_pid, w->opener_uid, w->opener_nice,
	    w->opener_policy, w->opener_rt_prio);
	out(m, "#    -----------------");
	out(m, "#  => started at: __x64_sys_gettimeofday");
	out(m, "#  => ended at:   %s",
	    w->closed_by_exit ? "do_exit" : "__x64_sys_gettimeofday");
	out(m, "#");
}

static void print_header(struct seq_file *m, struct report *r)
{
	const struct window_info *w = &r->w;
	char a[32], b[32];
	unsigned int i;
	int k;

	out(m, "# tracer: vormek_tracer");
	out(m, "#");
	if (r->set >= 0)
		print_latency_block(m, r);
	out(m, "# kernel: %s, %u CPUs, %u events per CPU",
	    init_utsname()->release, num_possible_cpus(), buffer_size);
	if (r->set < 0) {
		out(m, "# window: none (no window was opened)");
	} else {
		out(m, "# window: closed");
		out(m, "# opened_by: %s-%d on cpu %d", w->opener_comm,
		    w->opener_pid, w->cpu);
		out(m, "# closed_by: %s%s-%d", w->closed_by_exit ? "exit of " : "",
		    w->closer_comm, w->closer_pid);
		print_us(a, sizeof(a), w->start_ns);
		print_us(b, sizeof(b), w->end_ns);
		out(m, "# start_us: %s", a);
		out(m, "# end_us: %s", b);
		print_us(a, sizeof(a), w->end_ns - w->start_ns);
		out(m, "# length_us: %s", a);
		out(m, "# settings: %s=%d %s=%d %s=%d %s=%d %s=%d %s=%d %s=%d %s=%d %s=%d %s=%d",
		    knob_names[0], w->knobs[0], knob_names[1], w->knobs[1],
		    knob_names[2], w->knobs[2], knob_names[3], w->knobs[3],
		    knob_names[4], w->knobs[4], knob_names[5], w->knobs[5],
		    knob_names[6], w->knobs[6], knob_names[7], w->knobs[7],
		    knob_names[8], w->knobs[8], knob_names[9], w->knobs[9]);
		out(m, "# recorded: %llu functions, %llu switches, %llu syscalls, %llu wakeups, %llu wakeup latencies",
		    r->kinds[EV_FUNCTION], r->kinds[EV_SWITCH],
		    r->kinds[EV_SYSCALL], r->kinds[EV_WAKEUP],
		    r->kinds[EV_WAKEUP_RUN]);
		out(m, "# events: %llu kept, %llu lost%s", r->kept, r->lost,
		    !r->lost ? "" : w->knobs[K_TRACE_FREERUNNING] == 1 ?
		    " (buffer full: the oldest were overwritten)" :
		    " (buffer full: recording stopped)");
	}
	if (r->open_now)
		out(m, "# now: a newer window is open");
	if (r->dropped_not_longer || r->dropped_short)
		out(m, "# dropped_windows: %lu (%lu not longer than preempt_max_latency, %lu shorter than preempt_thresh)",
		    r->dropped_not_longer + r->dropped_short,
		    r->dropped_not_longer, r->dropped_short);
	if (r->missed)
		out(m, "# missed_starts: %lu (no slot to put the hooks back)",
		    r->missed);
	out(m, "# hooks: functions=%d events=%d wakeups=%d parked=%d",
	    r->hooks.functions, r->hooks.events, r->hooks.wakeups,
	    r->hooks.parked);
	if (r->hooks.functions_error)
		out(m, "# function_hook: failed (%d), no function entries",
		    r->hooks.functions_error);
	out(m, "# writes: %u logged, %u lost", r->log.count, r->log.lost);
	/* At a crash the kernel log has room for the events only. */
	for (i = 0; m && i < r->log.count; i++) {
		const struct knob_write *kw = &r->log.entry[i];

		k = kw->knob;
		print_us(a, sizeof(a), kw->time_ns);
		out(m, "# write %u: %s=%d by %s-%d at_us %s", i + 1,
		    knob_names[k], kw->value, kw->comm, kw->pid, a);
	}
	out(m, "#");
	if (r->set < 0)
		return;
	/* ftrace's legend for its flags column. */
	out(m, "#                                _-----=> irqs-off/BH-disabled");
	out(m, "#                               / _----=> need-resched");
	out(m, "#                              | / _---=> hardirq/softirq");
	out(m, "#                              || / _--=> preempt-depth");
	out(m, "#                              ||| / _-=> migrate-disable");
	out(m, "#                              |||| /     delay");
	out(m, "#           TASK-PID     CPU#  |||||  TIMESTAMP  FUNCTION");
	out(m, "#              | |         |   |||||     |         |");
}

/* ftrace's flags column: irqs-off, need-resched, hardirq/softirq, preempt
 * depth and migrate-disable depth. */
static void print_flags(char *f, const struct event *e)
{
	u32 pc = e->ctx;
	bool off = e->flags & EVF_IRQS_OFF, bh = e->flags & EVF_BH_OFF;
	bool nmi = pc & NMI_MASK, hard = pc & HARDIRQ_MASK;
	bool soft = e->flags & EVF_SOFTIRQ;

	f[0] = off && bh ? 'D' : off ? 'd' : bh ? 'b' : '.';
	switch (e->flags & (EVF_NEED_RESCHED | EVF_PREEMPT_RESCHED)) {
	case EVF_NEED_RESCHED | EVF_PREEMPT_RESCHED:
		f[1] = 'N';
		break;
	case EVF_NEED_RESCHED:
		f[1] = 'n';
		break;
	case EVF_PREEMPT_RESCHED:
		f[1] = 'p';
		break;
	default:
		f[1] = '.';
	}
	f[2] = nmi && hard ? 'Z' : nmi ? 'z' : hard && soft ? 'H' :
	       hard ? 'h' : soft ? 's' : '.';
	pc = min_t(u32, pc & 0xff, 0xf);
	f[3] = pc ? hex_asc[pc] : '.';
	f[4] = e->migrate ? hex_asc[e->migrate & 0xf] : '.';
	f[5] = '\0';
}

/*
 * The state that left the CPU, as the sched_switch event prints it: the
 * letters of its state bits joined by "|", "R" for none, "+" if preempted.
 */
static void state_name(char *buf, unsigned int state)
{
	static const char letters[] = "SDTtXZPI";
	unsigned int bits = state & (TASK_REPORT_MAX - 1);
	size_t n = 0;
	int i;

	if (!bits)
		buf[n++] = 'R';
	for (i = 0; i < 8; i++) {
		if (!(bits & (1U << i)))
			continue;
		if (n)
			buf[n++] = '|';
		buf[n++] = letters[i];
	}
	if (state & TASK_REPORT_MAX)
		buf[n++] = '+';
	buf[n] = '\0';
}

static void print_event(struct seq_file *m, struct report *r,
			const struct event *e)
{
	bool verbose = r->w.knobs[K_TRACE_VERBOSE] == 1;
	char *s = r->line, flags[8], st[24], raw[24] = "";
	size_t n = sizeof(r->line);
	const unsigned long *a;
	u64 sec;
	u32 ns;
	long nr;

	sec = div_u64_rem(r->w.start_ns + e->offset_ns, NSEC_PER_SEC, &ns);
	print_flags(flags, e);
	/* Verbose: the raw preempt count, and functions' addresses. */
	if (verbose)
		snprintf(raw, sizeof(raw), " ctx=%08x", e->ctx);
	switch (e->kind) {
	case EV_FUNCTION:
		if (verbose)
			snprintf(s, n, "%pS [%px] <-%pS [%px]",
				 (void *)e->fn.ip, (void *)e->fn.ip,
				 (void *)e->fn.parent_ip,
				 (void *)e->fn.parent_ip);
		else
			snprintf(s, n, "%ps <-%ps", (void *)e->fn.ip,
				 (void *)e->fn.parent_ip);
		break;
	case EV_SWITCH:
		state_name(st, e->sw.state);
		snprintf(s, n, "sched_switch: prev_comm=%s prev_pid=%d prev_prio=%d prev_state=%s ==> next_comm=%s next_pid=%d next_prio=%d",
			 e->comm, e->pid, e->sw.prev_prio, st, e->sw.next_comm,
			 e->sw.next_pid, e->sw.next_prio);
		break;
	case EV_SYSCALL:
		/* raw_syscalls' sys_enter, then the call's name. */
		nr = e->sys.nr;
		a = e->sys.args;
		snprintf(s, n, "sys_enter: NR %ld (%lx, %lx, %lx, %lx, %lx, %lx) %s",
			 nr, a[0], a[1], a[2], a[3], a[4], a[5],
			 e->flag ? "compat" :
			 nr >= 0 && nr < ARRAY_SIZE(syscall_names) &&
			 syscall_names[nr] ? syscall_names[nr] : "unknown");
		break;
	case EV_WAKEUP:
		snprintf(s, n, "sched_waking: comm=%s pid=%d prio=%d target_cpu=%03d",
			 e->wake.comm, e->wake.pid, e->wake.prio, e->wake.cpu);
		break;
	case EV_WAKEUP_RUN:
		snprintf(s, n, "wakeup_latency: comm=%s pid=%d prio=%d latency_us=%llu.%03llu",
			 e->comm, e->pid, e->run.prio,
			 e->run.delay_ns / NSEC_PER_USEC,
			 e->run.delay_ns % NSEC_PER_USEC);
		break;
	default:
		snprintf(s, n, "unknown event %u", e->kind);
	}
	out(m, "%16s-%-7d [%03d] %s %5llu.%06u: %s%s", e->comm, e->pid, r->cpu,
	    flags, sec, ns / 1000U, s, raw);
}

/* seq_file: position 0 is the header, position p the (p-1)th event. */
static void *report_start(struct seq_file *m, loff_t *pos)
{
	struct report *r = m->private;

	if (*pos == 0)
		return SEQ_START_TOKEN;
	if (r->stale || r->set < 0)
		return NULL;
	if (r->index > *pos - 1)
		rewind_report(r);
	while (r->index < *pos - 1 && peek(r))
		advance(r);
	return peek(r);
}

static void *report_next(struct seq_file *m, void *v, loff_t *pos)
{
	struct report *r = m->private;

	++*pos;
	if (v != SEQ_START_TOKEN)
		advance(r);
	if (r->stale || r->set < 0)
		return NULL;
	return peek(r);
}

static void report_stop(struct seq_file *m, void *v)
{
}

static int report_show(struct seq_file *m, void *v)
{
	struct report *r = m->private;

	if (v == SEQ_START_TOKEN) {
		print_header(m, r);
		return 0;
	}
	/* A newer window started recording into this set. */
	if (READ_ONCE(set_generation[r->set]) != r->w.generation) {
		out(m, "# the window was overwritten by a newer one while being read");
		r->stale = true;
		return 0;
	}
	print_event(m, r, v);
	return 0;
}

static const struct seq_operations report_seq_ops = {
	.start = report_start,
	.next = report_next,
	.stop = report_stop,
	.show = report_show,
};

static int report_open(struct inode *inode, struct file *file)
{
	struct report *r;

	if (param_report_unreadable)
		return -EACCES;
	r = __seq_open_private(file, &report_seq_ops, report_size());
	if (!r)
		return -ENOMEM;
	snapshot(r, false);
	return 0;
}

static const struct proc_ops report_ops = {
	.proc_open = report_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = seq_release_private,
};

/* Allocated at load: nothing can be allocated at a crash. */
static struct report *crash_report;
static atomic_t crash_dumped;

static void dump_at_crash(void)
{
	struct report *r = crash_report;
	struct event *e;
	u64 skip;

	if (knob(K_TRACE_PRINT_AT_CRASH) != 1 || atomic_xchg(&crash_dumped, 1))
		return;
	snapshot(r, true);
	pr_emerg("the last window's trace (trace_print_at_crash):\n");
	print_header(NULL, r);
	if (r->set < 0)
		return;
	skip = r->kept > crash_events ? r->kept - crash_events : 0;
	if (skip)
		out(NULL, "# the first %llu events are left out", skip);
	while (skip-- && peek(r))
		advance(r);
	while ((e = peek(r))) {
		print_event(NULL, r, e);
		advance(r);
	}
	pr_emerg("end of the last window's trace\n");
}

static int on_panic(struct notifier_block *nb, unsigned long action,
		    void *data)
{
	dump_at_crash();
	return NOTIFY_DONE;
}

static int on_die(struct notifier_block *nb, unsigned long action, void *data)
{
	if (action == DIE_OOPS)
		dump_at_crash();
	return NOTIFY_DONE;
}

static struct notifier_block panic_nb = { .notifier_call = on_panic };
static struct notifier_block die_nb = { .notifier_call = on_die };
static struct proc_dir_entry *report_entry;

int report_init(void)
{
	int ret;

	crash_report = kzalloc(report_size(), GFP_KERNEL);
	if (!crash_report)
		return -ENOMEM;
	/* Root only: with trace_verbose the report holds kernel addresses. */
	report_entry = proc_create("latency_trace", 0400, NULL, &report_ops);
	if (!report_entry) {
		kfree(crash_report);
		return -ENOMEM;
	}
	ret = register_die_notifier(&die_nb);
	if (ret) {
		proc_remove(report_entry);
		kfree(crash_report);
		return ret;
	}
	atomic_notifier_chain_register(&panic_notifier_list, &panic_nb);
	return 0;
}

void report_exit(void)
{
	atomic_notifier_chain_unregister(&panic_notifier_list, &panic_nb);
	unregister_die_notifier(&die_nb);
	proc_remove(report_entry);
	kfree(crash_report);
}
