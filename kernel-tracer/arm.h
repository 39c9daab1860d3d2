/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Arming (arm.c): registering and removing the wide hooks as the knobs ask,
 * parking them once no window has been used for disarm_ms, and putting them
 * back. The only part that calls both record.c and window.c.
 */
#ifndef VORMEK_TRACER_ARM_H
#define VORMEK_TRACER_ARM_H

#include <linux/types.h>

#include "knobs.h"

/* Which hooks are in place. */
struct arm_state {
	bool events, wakeups, functions;
	bool parked;		/* removed for idleness, the knobs still armed */
	int functions_error;	/* the function hook's last registration */
};

/* Checks disarm_ms and finds the tracepoints; registers nothing. */
int arm_init(void);
/* After the markers are unhooked: every hook goes. */
void arm_exit(void);
unsigned int arm_disarm_ms(void);

/* A knob write (knobs.c's callback, wired by main.c). Process context. */
int arm_knob_written(enum knob k);
void arm_read_state(struct arm_state *s);

/*
 * The one call up the chain, from window.c's start marker: the marker finds
 * the hooks parked and cannot put them back itself, as it runs with
 * preemption off. This queues the re-arm as task work on the marker's
 * caller; false if none could be queued.
 */
bool arm_request_rearm(void);

#endif
