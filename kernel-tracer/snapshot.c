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

void snapshot_take(struct snapshot *s, bool crashing)
{
	window_read_view(&s->view, crashing);
	knobs_copy_log(&s->log, crashing);
	arm_read_state(&s->hooks);
	s->buffer_size = record_buffer_size();
	count_events(s, crashing);
	snapshot_rewind(s);
}
