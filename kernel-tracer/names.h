/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The names the report gives (names.c): system calls, handlers, softirq
 * vectors, interrupt vectors and event kinds, shared by every printer and
 * by what feeds the analysis.
 */
#ifndef VORMEK_TRACER_NAMES_H
#define VORMEK_TRACER_NAMES_H

#include <linux/types.h>

#include "event.h"

/* A system call's name by number; "compat" for a compat call. */
const char *names_syscall(const struct event *e);
/* A handler entry's name: its irq's, softirq's or vector's, into name. */
void names_handler(const struct event *e, char *name, size_t n);
/* A softirq vector's action, or NULL. */
const char *names_softirq(int nr);
/* An interrupt vector's name by enum vt_vector, or NULL. */
const char *names_vector(int vector);
/* An event kind's name, as its line begins. */
const char *names_kind(unsigned int kind);

#endif
