// SPDX-License-Identifier: GPL-2.0
/*
 * The report's text, in the format of ftrace's trace file, so that tools
 * reading that read it too. A header: the tracer's name, ftrace's latency
 * block, "# key: value" lines (the window, the settings in force, what was
 * recorded and lost, the knob writes) and the column legend; then one line
 * per event, as ftrace prints them: task-pid, CPU, flags, seconds since
 * boot on ftrace's "local" clock, and the event.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/kernel.h>
#include <linux/math64.h>
#include <linux/printk.h>
#include <linux/sched.h>
#include <linux/utsname.h>

#include "compat.h"
#include "format.h"
#include "knobs.h"
#include "names.h"
#include "snapshot.h"

/* Emits one line: to the report file, or with m NULL to the kernel log. */
void format_line(struct seq_file *m, const char *fmt, ...)
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
static void print_latency_block(struct seq_file *m, const struct snapshot *s)
{
	const struct shown_window *w = &s->view.w;

	format_line(m, "# vormek_tracer latency trace v1.1.5 on %s",
	    init_utsname()->release);
	format_line(m, "# --------------------------------------------------------------------");
	format_line(m, "# latency: %llu us, #%llu/%llu, CPU#%d | (M:%s VP:0, KP:0, SP:0 HP:0 #P:%u)",
	    div_u64(w->end_ns - w->start_ns, NSEC_PER_USEC), s->kept,
	    s->kept + s->lost, w->cpu, preempt_model(), num_online_cpus());
	format_line(m, "#    -----------------");
	format_line(m, "#    | task: %.16s-%d (uid:%u nice:%d policy:%d rt_prio:%d)",
	    w->opener_comm, w->opener_pid, w->opener_uid, w->opener_nice,
	    w->opener_policy, w->opener_rt_prio);
	format_line(m, "#    -----------------");
	format_line(m, "#  => started at: " VT_MARKER_FUNCTION);
	format_line(m, "#  => ended at:   %s",
	    w->closed_by_exit ? "do_exit" : VT_MARKER_FUNCTION);
	format_line(m, "#");
}

/* The settings in force when the window opened, every knob in list order. */
static void print_settings(struct seq_file *m, const struct shown_window *w)
{
	char text[FORMAT_LINE_MAX];
	size_t n = 0;
	int k;

	text[0] = '\0';
	for (k = 0; k < KNOB_COUNT; k++)
		n += scnprintf(text + n, sizeof(text) - n, "%s%s=%d",
			       k ? " " : "", knob_name(k), w->knobs[k]);
	format_line(m, "# settings: %s", text);
}

void format_header_start(struct seq_file *m, const struct snapshot *s)
{
	format_line(m, "# tracer: vormek_tracer");
	format_line(m, "#");
	if (s->view.set >= 0)
		print_latency_block(m, s);
}

void format_header(struct seq_file *m, const struct snapshot *s, bool legend)
{
	format_header_start(m, s);
	format_header_rest(m, s, legend);
}

void format_header_rest(struct seq_file *m, const struct snapshot *s,
			bool legend)
{
	const struct shown_window *w = &s->view.w;
	const struct shown_view *v = &s->view;
	char a[32], b[32];
	unsigned int i;

	format_line(m, "# kernel: %s, %u CPUs, %u events per CPU",
		    init_utsname()->release, num_possible_cpus(),
		    s->buffer_size);
	if (v->set < 0) {
		format_line(m, "# window: none (no window was opened)");
	} else {
		format_line(m, "# window: closed");
		format_line(m, "# opened_by: %s-%d on cpu %d", w->opener_comm,
			    w->opener_pid, w->cpu);
		format_line(m, "# closed_by: %s%s-%d",
			    w->closed_by_exit ? "exit of " : "",
			    w->closer_comm, w->closer_pid);
		print_us(a, sizeof(a), w->start_ns);
		print_us(b, sizeof(b), w->end_ns);
		format_line(m, "# start_us: %s", a);
		format_line(m, "# end_us: %s", b);
		print_us(a, sizeof(a), w->end_ns - w->start_ns);
		format_line(m, "# length_us: %s", a);
		print_settings(m, w);
		format_line(m, "# recorded: %llu functions, %llu switches, %llu syscalls, %llu wakeups, %llu wakeup latencies, %llu syscall exits, %llu interrupt events",
			    s->kinds[EV_FUNCTION], s->kinds[EV_SWITCH],
			    s->kinds[EV_SYSCALL], s->kinds[EV_WAKEUP],
			    s->kinds[EV_WAKEUP_RUN], s->kinds[EV_SYS_EXIT],
			    s->kinds[EV_IRQ_ENTRY] + s->kinds[EV_IRQ_EXIT] +
			    s->kinds[EV_SOFTIRQ_ENTRY] +
			    s->kinds[EV_SOFTIRQ_EXIT] +
			    s->kinds[EV_VECTOR_ENTRY] + s->kinds[EV_VECTOR_EXIT]);
		format_line(m, "# events: %llu kept, %llu lost%s", s->kept,
			    s->lost, !s->lost ? "" :
			    w->knobs[K_TRACE_FREERUNNING] == 1 ?
			    " (buffer full: the oldest were overwritten)" :
			    " (buffer full: recording stopped)");
	}
	if (v->open_now)
		format_line(m, "# now: a newer window is open");
	if (v->dropped_not_longer || v->dropped_short || v->dropped_hooks)
		format_line(m, "# dropped_windows: %lu (%lu not longer than preempt_max_latency, %lu shorter than preempt_thresh, %lu open while the hooks changed)",
			    v->dropped_not_longer + v->dropped_short +
			    v->dropped_hooks, v->dropped_not_longer,
			    v->dropped_short, v->dropped_hooks);
	if (v->missed_starts)
		format_line(m, "# missed_starts: %lu (no slot to put the hooks back)",
			    v->missed_starts);
	format_line(m, "# hooks: functions=%d events=%d wakeups=%d parked=%d",
		    s->hooks.functions, s->hooks.events, s->hooks.wakeups,
		    s->hooks.parked);
	if (s->hooks.functions_error)
		format_line(m, "# function_hook: failed (%d), no function entries",
			    s->hooks.functions_error);
	format_line(m, "# writes: %u logged, %u lost", s->log.count,
		    s->log.lost);
	/* At a crash the kernel log has room for the events only. */
	for (i = 0; m && i < s->log.count; i++) {
		const struct knob_write *kw = &s->log.entry[i];

		print_us(a, sizeof(a), kw->time_ns);
		format_line(m, "# write %u: %s=%d by %s-%d at_us %s", i + 1,
			    knob_name(kw->knob), kw->value, kw->comm, kw->pid,
			    a);
	}
	if (legend && v->set >= 0)
		format_legend(m);
	else if (legend)
		format_line(m, "#");
}

/* ftrace's legend for its flags column. */
void format_legend(struct seq_file *m)
{
	format_line(m, "#");
	format_line(m, "#                                _-----=> irqs-off/BH-disabled");
	format_line(m, "#                               / _----=> need-resched");
	format_line(m, "#                              | / _---=> hardirq/softirq");
	format_line(m, "#                              || / _--=> preempt-depth");
	format_line(m, "#                              ||| / _-=> migrate-disable");
	format_line(m, "#                              |||| /     delay");
	format_line(m, "#           TASK-PID     CPU#  |||||  TIMESTAMP  FUNCTION");
	format_line(m, "#              | |         |   |||||     |         |");
}

/*
 * ftrace's flags column: irqs-off, need-resched, hardirq/softirq, preempt
 * depth and migrate-disable depth.
 */
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

void format_body(const struct snapshot *snap, const struct event *e,
		 char *s)
{
	bool verbose = snap->view.w.knobs[K_TRACE_VERBOSE] == 1;
	size_t n = FORMAT_LINE_MAX;
	const unsigned long *a;
	const char *name;
	char st[24];

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
		a = e->sys.args;
		snprintf(s, n, "sys_enter: NR %ld (%lx, %lx, %lx, %lx, %lx, %lx) %s",
			 e->sys.nr, a[0], a[1], a[2], a[3], a[4], a[5],
			 names_syscall(e));
		break;
	case EV_SYS_EXIT:
		snprintf(s, n, "sys_exit: NR %ld = %ld %s", e->sys.nr,
			 (long)e->sys.args[0], names_syscall(e));
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
	case EV_IRQ_ENTRY:
		snprintf(s, n, "irq_handler_entry: irq=%d name=%.*s", e->irq.nr,
			 (int)sizeof(e->irq.name) - 1, e->irq.name);
		break;
	case EV_IRQ_EXIT:
		snprintf(s, n, "irq_handler_exit: irq=%d ret=%s", e->irq.nr,
			 e->irq.ret ? "handled" : "unhandled");
		break;
	case EV_SOFTIRQ_ENTRY:
	case EV_SOFTIRQ_EXIT:
		name = names_softirq(e->irq.nr);
		snprintf(s, n, "softirq_%s: vec=%d [action=%s]",
			 e->kind == EV_SOFTIRQ_ENTRY ? "entry" : "exit",
			 e->irq.nr, name ? name : "unknown");
		break;
	case EV_VECTOR_ENTRY:
	case EV_VECTOR_EXIT:
		name = names_vector(e->irq.ret);
		snprintf(s, n, "%s_%s: vector=%d", name ? name : "vector",
			 e->kind == EV_VECTOR_ENTRY ? "entry" : "exit",
			 e->irq.nr);
		break;
	default:
		snprintf(s, n, "unknown event %u", e->kind);
	}
}

void format_ftrace_line(struct seq_file *m, const struct snapshot *snap,
			const struct event *e, const char *comm, pid_t pid,
			const char *body)
{
	char flags[8], raw[24] = "";
	u64 sec;
	u32 ns;

	sec = div_u64_rem(snap->view.w.start_ns + e->offset_ns, NSEC_PER_SEC, &ns);
	print_flags(flags, e);
	/* Verbose: the raw preempt count. */
	if (snap->view.w.knobs[K_TRACE_VERBOSE] == 1)
		snprintf(raw, sizeof(raw), " ctx=%08x", e->ctx);
	format_line(m, "%16s-%-7d [%03d] %s %5llu.%06u: %s%s", comm, pid,
		    snap->cpu, flags, sec, ns / 1000U, body, raw);
}

void format_event(struct seq_file *m, const struct snapshot *snap,
		  const struct event *e, char *line)
{
	format_body(snap, e, line);
	format_ftrace_line(m, snap, e, e->comm, e->pid, line);
}
