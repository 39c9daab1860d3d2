/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Taking a lock where a crash may read: at a crash the lock is only tried,
 * as the crashed CPU may hold it, and the copy is taken either way.
 */
#ifndef VORMEK_TRACER_CRASH_LOCK_H
#define VORMEK_TRACER_CRASH_LOCK_H

#include <linux/types.h>

/* Whether the lock is held: spin (lock_fn) or, crashing, try (try_fn). */
#define lock_or_try_at_crash(lock, crashing, lock_fn, try_fn) \
	((crashing) ? try_fn(lock) : (lock_fn(lock), true))

#endif
