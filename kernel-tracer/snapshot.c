// SPDX-License-Identifier: GPL-2.0
/*
 * What the report shows, copied when it is opened (or at a crash): each
 * part gives a consistent copy of its own state. The kept window's events
 * stay in record.c's buffers and are merged from there, the earliest of
 * every CPU's next event first.
 */
#include <linux/cpumask.h>
#include <linux/string.h>

#include "arm.h"
#include "knobs.h"
#include "record.h"
#include "snapshot.h"
#include "window.h"

size_t snapshot_size(void)
{
	return sizeof(struct snapshot) + 2 * nr_cpu_ids * sizeof(u64);
}

static bool overwrites(const struct snapshot *s)
{
	return s->view.w.knobs[K_TRACE_FREERUNNING] == 1;
}

void snapshot_rewind(struct snapshot *s)
{
	u64 first, count, lost;
	int cpu;

	s->index = 0;
	s->cpu = -1;
	for_each_possible_cpu(cpu) {
		if (s->view.set < 0) {
			s->cursor[cpu] = s->cursor[nr_cpu_ids + cpu] = 0;
			continue;
		}
		record_range(s->view.set, cpu, overwrites(s), &first, &count,
			     &lost);
		s->cursor[cpu] = first;
		s->cursor[nr_cpu_ids + cpu] = first + count;
	}
}

struct event *snapshot_peek(struct snapshot *s)
{
	struct event *best = NULL, *e;
	int cpu;

	s->cpu = -1;
	for_each_possible_cpu(cpu) {
		if (s->cursor[cpu] == s->cursor[nr_cpu_ids + cpu])
			continue;
		e = record_event(s->view.set, cpu, s->cursor[cpu]);
		if (!best || e->offset_ns < best->offset_ns) {
			best = e;
			s->cpu = cpu;
		}
	}
	return best;
}

/* Past the event the last peek found, without looking for it again. */
void snapshot_advance(struct snapshot *s)
{
	if (s->cpu >= 0) {
		s->cursor[s->cpu]++;
		s->index++;
		s->cpu = -1;
	}
}

void snapshot_count(struct snapshot *s, const struct event *e)
{
	if (e->kind < EV_KINDS)
		s->kinds[e->kind]++;
}

bool snapshot_stale(const struct snapshot *s)
{
	return window_generation(s->view.set) != s->view.w.generation;
}

/*
 * The kept window's events kept and lost; by kind only at a crash, where
 * nothing else walks them before the header.
 */
static void count_events(struct snapshot *s, bool by_kind)
{
	u64 first, count, lost, i;
	int cpu;

	memset(s->kinds, 0, sizeof(s->kinds));
	s->kept = 0;
	s->lost = 0;
	if (s->view.set < 0)
		return;
	for_each_possible_cpu(cpu) {
		record_range(s->view.set, cpu, overwrites(s), &first, &count,
			     &lost);
		s->kept += count;
		s->lost += lost;
		for (i = first; by_kind && i < first + count; i++)
			snapshot_count(s, record_event(s->view.set, cpu, i));
	}
}

/* The window's part of what the report shows, from window.c's copy. */
static void show_window(struct shown_view *to, const struct window_view *v)
{
	const struct window_info *w = &v->w;

	to->set = v->set;
	to->w = (struct shown_window){
		.start_ns = w->start_ns,
		.end_ns = w->end_ns,
		.cpu = w->cpu,
		.opener_pid = w->opener_pid,
		.closer_pid = w->closer_pid,
		.closed_by_exit = w->closed_by_exit,
		.opener_uid = w->opener_uid,
		.opener_nice = w->opener_nice,
		.opener_policy = w->opener_policy,
		.opener_rt_prio = w->opener_rt_prio,
		.generation = w->generation,
	};
	memcpy(to->w.opener_comm, w->opener_comm, TASK_COMM_LEN);
	memcpy(to->w.closer_comm, w->closer_comm, TASK_COMM_LEN);
	memcpy(to->w.knobs, w->knobs, sizeof(to->w.knobs));
	to->open_now = v->open_now;
	to->dropped_not_longer = v->dropped_not_longer;
	to->dropped_short = v->dropped_short;
	to->dropped_hooks = v->dropped_hooks;
	to->missed_starts = v->missed_starts;
}

void snapshot_take(struct snapshot *s, bool crashing)
{
	struct window_view view;
	struct arm_state hooks;

	window_read_view(&view, crashing);
	show_window(&s->view, &view);
	knobs_copy_log(&s->log, crashing);
	arm_read_state(&hooks);
	s->hooks = (struct shown_hooks){
		.events = hooks.events,
		.wakeups = hooks.wakeups,
		.functions = hooks.functions,
		.parked = hooks.parked,
		.functions_error = hooks.functions_error,
	};
	s->buffer_size = record_buffer_size();
	count_events(s, crashing);
	snapshot_rewind(s);
}
