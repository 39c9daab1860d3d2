// SPDX-License-Identifier: GPL-2.0
/*
 * Call durations from function entries alone: per stack (a task's by pid,
 * the idle tasks' by CPU, a CPU's interrupt or exception stack by CPU) a
 * stack of open calls, in a fixed pool of frames.
 *
 *   - An event ends every open call on its stack whose entry stack pointer
 *     is at or below its own. A function entry then also ends the calls
 *     above the nearest open call of the function it was called from, and
 *     opens a call.
 *   - An event on a lower stack (task, then interrupt, then exception) ends
 *     the calls open on that CPU's higher stacks: their handler returned.
 *   - A handler's exit ends the calls opened on its stack since its entry.
 *   - A system call's entry or exit ends every call on its task's stack.
 *   - Calls still open when the window closes are marked open.
 */
#include "callgraph.h"

static unsigned long long stack_key(const struct cg_input *in)
{
	unsigned long long kind = (unsigned long long)in->stack + 1;

	if (in->stack == CG_TASK && in->pid > 0)
		return kind << 60 | (unsigned int)in->pid;
	return kind << 60 | 1ULL << 32 | (unsigned int)in->cpu;
}

/* The stack of key, created if asked and there is room; NULL if not. */
static struct cg_stack_state *find_stack(struct cg_state *s,
					 unsigned long long key, int create)
{
	unsigned int i = (unsigned int)((key * 0x9E3779B97F4A7C15ULL) >> 40) %
			 CG_MAX_STACKS;
	unsigned int tries;

	for (tries = 0; tries < CG_MAX_STACKS; tries++) {
		struct cg_stack_state *st = &s->stacks[i];

		if (st->key == key)
			return st;
		if (!st->key) {
			if (!create)
				return 0;
			st->key = key;
			st->top = CG_NONE;
			st->depth = 0;
			st->marks = 0;
			return st;
		}
		i = (i + 1) % CG_MAX_STACKS;
	}
	return 0;
}

/* Appends call to a chain of ended calls, whose head is *first. */
static void chain(struct cg_state *s, unsigned int *first, unsigned int *last,
		  unsigned int call)
{
	if (*last == CG_NONE)
		*first = call;
	else
		s->calls[*last].next_closed = call;
	*last = call;
}

/* A call ended at end: its time counts to its caller's children's. */
static void close_call(struct cg_state *s, const struct cg_frame *f,
		       long long end)
{
	struct cg_call *c = &s->calls[f->call];

	c->end = end;
	if (f->below != CG_NONE)
		s->calls[s->frames[f->below].call].child_ns += end - c->start;
}

/* Ends the top call of st at time, as ended by event `by`. */
static void pop(struct cg_state *s, struct cg_stack_state *st, long long time,
		unsigned int by, unsigned int *last)
{
	struct cg_frame *f = &s->frames[st->top];
	unsigned int index = st->top;
	unsigned int m;

	close_call(s, f, time);
	chain(s, &s->calls[by].first_closed, last, f->call);
	st->top = f->below;
	st->depth--;
	f->below = s->free;
	s->free = index;
	/* A handler that began deeper than what is left began here. */
	for (m = 0; m < st->marks; m++)
		if (st->mark[m] > st->depth)
			st->mark[m] = st->depth;
}

static void pop_to(struct cg_state *s, struct cg_stack_state *st,
		   unsigned short depth, long long time, unsigned int by,
		   unsigned int *last)
{
	while (st->top != CG_NONE && st->depth > depth)
		pop(s, st, time, by, last);
}

void cg_begin(struct cg_state *s, struct cg_call *calls, unsigned int n)
{
	unsigned int i;

	s->calls = calls;
	s->n = n;
	s->ncalls = 0;
	s->open = 0;
	s->untracked = 0;
	for (i = 0; i < CG_MAX_STACKS; i++)
		s->stacks[i].key = 0;
	for (i = 0; i < CG_MAX_FRAMES; i++)
		s->frames[i].below = i + 1 < CG_MAX_FRAMES ? i + 1 : CG_NONE;
	s->free = 0;
}

void cg_feed(struct cg_state *s, unsigned int index, const struct cg_input *in)
{
	struct cg_call *c = &s->calls[index];
	struct cg_stack_state *st;
	struct cg_input higher;
	unsigned int last = CG_NONE;
	unsigned int f;

	c->start = in->time;
	c->end = 0;
	c->child_ns = 0;
	c->ip = in->ip;
	c->pid = in->pid;
	c->tgid = in->tgid;
	c->cpu = in->cpu;
	c->first_closed = CG_NONE;
	c->next_closed = CG_NONE;
	c->depth = 0;
	c->flags = 0;
	c->is_call = in->kind == CG_CALL;
	c->stack = in->stack;
	s->ncalls += c->is_call;
	if (in->kind == CG_IGNORE || index >= s->n)
		return;
	/* Back on a lower stack: the handlers on the higher ones returned. */
	higher = *in;
	for (higher.stack = in->stack + 1; higher.stack < CG_STACKS_KINDS;
	     higher.stack++) {
		st = find_stack(s, stack_key(&higher), 0);
		if (!st)
			continue;
		pop_to(s, st, 0, in->time, index, &last);
		st->marks = 0;
	}
	st = find_stack(s, stack_key(in), 1);
	if (!st) {
		s->untracked += c->is_call;
		c->flags = c->is_call ? CG_UNTRACKED | CG_OPEN : 0;
		c->end = in->time;
		return;
	}
	switch (in->kind) {
	case CG_IRQ_EXIT:
		if (st->marks)
			pop_to(s, st, st->mark[--st->marks], in->time, index,
			       &last);
		return;
	case CG_SYSCALL:
		pop_to(s, st, 0, in->time, index, &last);
		st->marks = 0;
		return;
	}
	while (st->top != CG_NONE && s->frames[st->top].sp <= in->sp)
		pop(s, st, in->time, index, &last);
	/* Called from a function further down: the calls above it returned. */
	if (in->kind == CG_CALL && in->caller && st->top != CG_NONE &&
	    s->frames[st->top].fn != in->caller) {
		for (f = s->frames[st->top].below; f != CG_NONE;
		     f = s->frames[f].below)
			if (s->frames[f].fn == in->caller)
				break;
		while (f != CG_NONE && st->top != f)
			pop(s, st, in->time, index, &last);
	}
	if (in->kind == CG_IRQ_ENTER) {
		if (st->marks < CG_MAX_MARKS)
			st->mark[st->marks++] = st->depth;
		return;
	}
	if (in->kind != CG_CALL)
		return;
	c->depth = st->depth;
	if (s->free == CG_NONE) {
		s->untracked++;
		c->flags = CG_UNTRACKED | CG_OPEN;
		c->end = in->time;
		return;
	}
	if (st->top != CG_NONE)
		s->calls[s->frames[st->top].call].flags |= CG_CHILDREN;
	f = s->free;
	s->free = s->frames[f].below;
	s->frames[f].sp = in->sp;
	s->frames[f].fn = in->fn;
	s->frames[f].call = index;
	s->frames[f].below = st->top;
	st->top = f;
	st->depth++;
}

void cg_end(struct cg_state *s, long long end)
{
	struct cg_stack_state *st;
	unsigned int i, f, last = CG_NONE;

	s->open_first = CG_NONE;
	s->open = s->untracked;
	for (i = 0; i < CG_MAX_STACKS; i++) {
		st = &s->stacks[i];
		if (!st->key)
			continue;
		for (f = st->top; f != CG_NONE; f = s->frames[f].below) {
			s->calls[s->frames[f].call].flags |= CG_OPEN;
			close_call(s, &s->frames[f], end);
			chain(s, &s->open_first, &last, s->frames[f].call);
			s->open++;
		}
	}
}

char cg_duration_mark(long long ns)
{
	static const struct {
		long long over;
		char mark;
	} marks[] = {
		{ 1000000000LL, '$' }, { 100000000LL, '@' },
		{ 10000000LL, '*' }, { 1000000LL, '#' },
		{ 100000LL, '!' }, { 10000LL, '+' },
	};
	unsigned int i;

	for (i = 0; i < sizeof(marks) / sizeof(marks[0]); i++)
		if (ns > marks[i].over)
			return marks[i].mark;
	return ' ';
}
