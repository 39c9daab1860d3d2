/* SPDX-License-Identifier: GPL-2.0 */
/*
 * vormek_tracer: a user-triggered latency tracer for stock kernels. The
 * parts share what is declared here:
 *   knobs.c   the ten knobs under /proc/sys/kernel and the log of writes
 *   window.c  the gettimeofday markers, opening and closing windows
 *   record.c  the per-CPU event buffers, the hooks and their probes
 *   report.c  /proc/latency_trace and the dump at a crash
 *   main.c    parameters, loading and unloading
 */
#ifndef VORMEK_TRACER_H
#define VORMEK_TRACER_H

#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/types.h>

/* A task's name, copied directly: get_task_comm may not be used in hooks. */
static __always_inline void copy_comm(char *to, const struct task_struct *t)
{
	memcpy(to, t->comm, TASK_COMM_LEN);
	to[TASK_COMM_LEN - 1] = '\0';
}

/* ---- knobs.c ---------------------------------------------------------- */

enum knob {
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

extern const char *const knob_names[KNOB_COUNT];
extern int knob_values[KNOB_COUNT];

static inline int knob(enum knob k)
{
	return READ_ONCE(knob_values[k]);
}

#define WRITE_LOG_SIZE 256

struct knob_write {
	u64 time_ns;
	int knob;
	int value;
	pid_t pid;
	char comm[TASK_COMM_LEN];
};

struct write_log {
	unsigned int count, lost;
	struct knob_write entry[WRITE_LOG_SIZE];
};

extern struct write_log write_log;
extern raw_spinlock_t write_log_lock;

bool knob_offered(int k);
void knob_new_max_latency(u64 us);
int knobs_register(void);
void knobs_unregister(void);
void knobs_release(void);

/* ---- main.c: parameters ----------------------------------------------- */

extern bool param_wakeup_timing;
extern char *param_omit;
extern bool param_mcount_unreadable;
extern bool param_report_unreadable;
extern unsigned int buffer_size;	/* events per CPU, a power of two */
extern unsigned int crash_events;
extern unsigned int disarm_ms;		/* idle time before the hooks go; 0: never */

/* ---- record.c: events and buffers ------------------------------------- */

enum event_kind {
	EV_FUNCTION,
	EV_SWITCH,
	EV_SYSCALL,
	EV_WAKEUP,	/* the line's task is waking another */
	EV_WAKEUP_RUN,	/* the line's task ran after its wakeup */
	EV_KINDS
};

/* What ftrace's flags column shows, besides the preempt count. */
#define EVF_IRQS_OFF		0x01
#define EVF_NEED_RESCHED	0x02	/* the task's flag */
#define EVF_PREEMPT_RESCHED	0x04	/* the CPU's preempt-count bit */
#define EVF_SOFTIRQ		0x08	/* serving a softirq */
#define EVF_BH_OFF		0x10	/* bottom halves disabled */

struct event {
	s64 offset_ns;		/* since the window opened; another CPU's clock may lag */
	u32 ctx;		/* preempt_count(), less the hook's own level */
	u8 flags;		/* EVF_* */
	u8 migrate;		/* migrate-disable depth, at most 15 */
	u8 kind;
	u8 flag;		/* syscall: compat (a switch keeps preemption in sw.state) */
	pid_t pid;
	char comm[TASK_COMM_LEN];
	union {
		struct {
			unsigned long ip, parent_ip;
		} fn;
		struct {
			pid_t next_pid;
			int prev_prio, next_prio;
			unsigned int state;	/* as the sched_switch event has it */
			char next_comm[TASK_COMM_LEN];
		} sw;
		struct {
			long nr;
			unsigned long args[6];
		} sys;
		struct {
			pid_t pid;
			int prio;
			int cpu;
			char comm[TASK_COMM_LEN];
		} wake;
		struct {
			u64 delay_ns;
			int prio;
		} run;
	};
};

/* Two sets of buffers: the last kept window's, and the one being recorded. */
#define SETS 2

/* Events a set holds on one CPU: the first and how many, in write order. */
void set_cpu_range(int set, int cpu, bool overwrite, u64 *first, u64 *count,
		   u64 *lost);
struct event *set_event(int set, int cpu, u64 index);
void reset_set(int set);

int record_init(void);
void record_exit(void);
bool arming_knob(int k);
int sync_hooks(bool rearm);
bool request_rearm(void);

struct hook_state {
	bool events, wakeups, functions;
	bool parked;		/* removed for idleness, the knobs still armed */
	int functions_error;
};
extern struct hook_state hooked;

/* ---- window.c --------------------------------------------------------- */

enum window_state { WINDOW_NONE, WINDOW_OPEN, WINDOW_CLOSED };

struct window_info {
	int state;
	u64 start_ns, end_ns;	/* trace_clock_local(), as ftrace's "local" clock */
	int cpu;		/* where it opened */
	pid_t opener_pid, closer_pid;	/* thread group ids */
	char opener_comm[TASK_COMM_LEN], closer_comm[TASK_COMM_LEN];
	bool closed_by_exit;	/* the opener's thread group exited */
	/* The opener as ftrace's latency header shows its task. */
	uid_t opener_uid;
	int opener_nice, opener_policy, opener_rt_prio;
	int knobs[KNOB_COUNT];	/* settings when it opened */
	unsigned long generation;
};

/*
 * Read on every hook without a lock: recording and what to record. Written
 * only by the markers, under window_lock.
 */
struct recorder {
	int recording;
	int set;
	int cpu;		/* the only CPU recorded, or -1 for all */
	bool functions, wakeups, overwrite;
	u64 start_ns;
};

extern struct recorder rec;
extern arch_spinlock_t window_lock;
extern struct window_info window[SETS];
extern int shown_set;		/* the last kept window's set, or -1 */
extern int open_set;		/* the open window's set, or -1 */
/* Closed windows not kept: not longer than preempt_max_latency with
 * preempt_thresh 0, or shorter than preempt_thresh. */
extern unsigned long dropped_not_longer, dropped_short;
extern unsigned long missed_starts;
extern unsigned long set_generation[SETS];

int window_init(void);
void window_exit(void);
void window_hooks_ready(bool ready);
bool window_park(unsigned long idle, unsigned long *wait);
void window_open_rearmed(void);
void window_opener_exit(struct task_struct *task);

/* ---- report.c --------------------------------------------------------- */

int report_init(void);
void report_exit(void);

#endif
